#include "corelib/AppFrame.h"

#include <cstdio>
#include <vector>

#include "corelib/ProgramEntry.h"

namespace KelvraCorelib {

namespace {

ApplicationNames& namesOfTheProcess()
{
    static ApplicationNames names;
    return names;
}

}  // namespace

const ApplicationNames& applicationNames()
{
    return namesOfTheProcess();
}

void writeToOutput(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

AppFrame::AppFrame(const std::string& displayName, const std::string& internalName, const std::string& versionLabel,
                   bool offerStandardOptions, const std::string& companyName)
    : ImsAgent("appframe")
{
    ApplicationNames& names = namesOfTheProcess();
    names.companyName = companyName;
    names.displayName = displayName;
    names.internalName = internalName;
    names.moduleName = internalName;
    names.versionLabel = versionLabel;
    runState = goOn;
    cmdParser.setUpStandardOptions(internalName, offerStandardOptions, false, false);
    frameLogger.setModuleName("appframe");
}

AppFrame::~AppFrame() = default;

void AppFrame::moveToFinished()
{
    // The run state only moves forward from goOn.
    if (runState == goOn)
        runState = finishedWithoutRun;
}

int32_t AppFrame::handleMessage(const ImsMessage& message)
{
    return handleAppMessage(message);
}

int32_t AppFrame::handleHookedMessage(uint64_t hookId, const ImsMessage& message)
{
    return handleAppHookedMessage(hookId, message);
}

int32_t AppFrame::handleAppMessage(const ImsMessage&)
{
    return notHandled;
}

int32_t AppFrame::handleAppHookedMessage(uint64_t, const ImsMessage&)
{
    return notHandled;
}

bool AppFrame::parseCommandLine()
{
    const ProgramArguments arguments = programArguments();
    std::string text;
    if (!cmdParser.parse(arguments.count, arguments.values, text)) {
        writeToOutput("ERROR: " + text + "\n");
        return false;
    }
    std::vector<std::string> pieces;
    if (cmdParser.isSet("help")) {
        pieces.push_back(cmdParser.getHelpText());
        moveToFinished();
    }
    if (cmdParser.isSet("version")) {
        pieces.push_back("Version=" + cmdParser.getVersionText());
        moveToFinished();
    }
    if (cmdParser.isSet("revision")) {
        pieces.push_back("Revision=" + cmdParser.getRevisionText());
        moveToFinished();
    }
    if (!pieces.empty()) {
        std::string output = pieces.front();
        for (size_t i = 1; i < pieces.size(); ++i)
            output += "\n" + pieces[i];
        writeToOutput(output);
    }
    return true;
}

int32_t AppFrame::runGuarded()
{
    return KelvraCorelib::runGuarded([this] { return run(); },
                                     [this](const Exception& error) { runLogger.logException(LogFatal, error); });
}

}  // namespace KelvraCorelib
