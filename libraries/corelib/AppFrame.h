#pragma once
// The application frame: the hub agent "appframe" that owns the loggers, the system-information
// agent, the command-line parser and the configuration agent of a program, answers the
// standard options and runs the application under the top-level error guard.
//
//   class Tool : public AppFrame {
//   public:
//       Tool() : AppFrame("Tool", "Tool", "1", true, "Kelvra, Inc.") { setUpOptions(); parseCommandLine(); }
//       bool setUpOptions() override;  bool endRun() override;  int32_t run() override;
//   };
//   int main(int argc, char** argv) { return runProgram<Tool>(argc, argv); }

#include <cstdint>
#include <string>

#include "corelib/CmdParser.h"
#include "corelib/ConfAgent.h"
#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "corelib/SystemBase.h"

namespace KelvraCorelib {

// The names a frame keeps for the life of the process (empty before the first frame).
struct ApplicationNames {
    std::string companyName;
    std::string displayName;
    std::string internalName;
    std::string moduleName;  // the internal name again
    std::string versionLabel;
};
const ApplicationNames& applicationNames();

class AppFrame : public ImsAgent {
public:
    // Run states.
    static constexpr int32_t goOn = 0;
    static constexpr int32_t finishedWithoutRun = 2;
    static constexpr int32_t setUpFailed = 3;

    AppFrame(const std::string& displayName, const std::string& internalName, const std::string& versionLabel,
             bool offerStandardOptions, const std::string& companyName);
    ~AppFrame() override;

    int32_t handleMessage(const ImsMessage& message) override;
    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override;

    virtual void frameHook() {}
    virtual bool setUpOptions() = 0;
    virtual bool endRun() = 0;
    virtual int32_t run() = 0;
    virtual int32_t handleAppMessage(const ImsMessage& message);
    virtual int32_t handleAppHookedMessage(uint64_t hookId, const ImsMessage& message);

    // Parses the kept argc/argv. A parse error is written as "ERROR: <text>\n" and gives
    // false; help, version and revision are written (joined by "\n") and set runState to 2.
    bool parseCommandLine();
    // run() inside the top-level error guard; an escaping error gives 2.
    int32_t runGuarded();

    Logger frameLogger;
    SystemBase systemInfo;
    Logger runLogger;
    CmdParser cmdParser;
    ConfAgent confAgent;
    int32_t runState = goOn;

private:
    void moveToFinished();
};

// Writes the text to standard output as it is.
void writeToOutput(const std::string& text);

}  // namespace KelvraCorelib
