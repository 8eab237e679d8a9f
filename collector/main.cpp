// The trawlex program: one collection per run; the exit code tells the scheduler how it went.
#include "collector/Trawlex.h"
#include "corelib/ProgramEntry.h"

int main(int argc, char** argv)
{
    return KelvraCorelib::runProgram<Kelvra::Trawlex>(argc, argv);
}
