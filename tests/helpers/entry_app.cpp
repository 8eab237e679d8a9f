// Runs a small application through the program entry; the first argument picks its behaviour:
//   code N       run returns N
//   exception    run throws an Exception
//   constructor  the constructor throws
//   destructor   run returns 0, the destructor throws
//   signals      run raises SIGINT, SIGTERM and SIGABRT and reports the stop flag
//   twice N      run raises signal N, reports the stop flag, then raises N again
//   args         run writes the kept arguments, one a line
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corelib/Exception.h"
#include "corelib/ProgramEntry.h"

namespace {

std::string mode;
int modeValue = 0;

class HelperApplication {
public:
    KELVRA_ERROR_CLASS(Run_Failed);

    HelperApplication()
    {
        if (mode == "constructor") {
            throw KelvraCorelib::Exception("@helper.constructor{Constructor failed};");
        }
    }

    ~HelperApplication() noexcept(false)
    {
        std::fputs("[destroyed]", stdout);
        if (mode == "destructor") {
            throw 5;
        }
    }

    int32_t runState() const { return 0; }

    int runGuarded()
    {
        return KelvraCorelib::runGuarded([this] { return run(); }, [](const KelvraCorelib::Exception& error) {
            std::printf("[fatal %s]", error.getLogText().c_str());
        });
    }

private:
    int run()
    {
        if (mode == "exception") {
            throw Run_Failed("@helper.run.failed{Run failed (%)};", KelvraCorelib::ParamStream() << "disk full");
        }
        if (mode == "signals") {
            std::printf("before=%d", KelvraCorelib::stopRequested() ? 1 : 0);
            std::raise(SIGINT);
            std::raise(SIGTERM);
            std::raise(SIGABRT);
            std::printf(" after=%d", KelvraCorelib::stopRequested() ? 1 : 0);
            return 0;
        }
        if (mode == "twice") {
            std::raise(modeValue);
            std::printf("after=%d", KelvraCorelib::stopRequested() ? 1 : 0);
            std::fflush(stdout);
            std::raise(modeValue);
            std::printf(" survived");
            return 0;
        }
        if (mode == "args") {
            const KelvraCorelib::ProgramArguments arguments = KelvraCorelib::programArguments();
            for (int i = 0; i < arguments.count; ++i) {
                std::printf("%s\n", i == 0 ? "(program)" : arguments.values[i]);
            }
            return 0;
        }
        return modeValue;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    mode = argc > 1 ? argv[1] : "";
    modeValue = argc > 2 ? std::atoi(argv[2]) : 0;
    return KelvraCorelib::runProgram<HelperApplication>(argc, argv);
}
