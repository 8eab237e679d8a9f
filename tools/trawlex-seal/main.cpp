// trawlex-seal init|status|extend|erase: the installation's seal key store (see SealStore.h).
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "corelib/DateTime.h"
#include "corelib/SystemValues.h"
#include "corelib/TimeSpan.h"
#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLogName.h"
#include "datahandling/SealChain.h"
#include "datahandling/SealLine.h"
#include "datahandling/SealStore.h"

namespace {

using KelvraCorelib::DateTime;
using KelvraCorelib::SealStore;

const char* const usage =
    "Usage: trawlex-seal init [--dir DIR] [--host HOST] [--epoch SPAN] [--until DATE] [--master-out FILE]\n"
    "       trawlex-seal status [--dir DIR]\n"
    "       trawlex-seal extend --master FILE [--until DATE] [--dir DIR]\n"
    "       trawlex-seal erase [--accept-clock] [--dir DIR]\n"
    "\n"
    "Manages the key store with which trawlex seals its data logs. The store is DIR, else\n"
    "the folder named by TRAWLEX_SEAL_DIR, else /var/lib/trawlex/seal (on Windows\n"
    "%ProgramData%\\Trawlex\\seal).\n"
    "\n"
    "  init    creates the store: a master key, one key per epoch (SPAN, default PT1H) from\n"
    "          now until DATE (default two years on) and the master's certificate for each,\n"
    "          which binds the key to HOST (default this host's name, as trawlex writes it in\n"
    "          \"source.host\"): the keys seal only that host's files;\n"
    "          the master secret is then erased, or written to --master-out FILE only.\n"
    "          Prints the verification key line, also written to DIR/verification.key.\n"
    "          An existing store is never touched; a store is made whole or not at all.\n"
    "  status  prints the key id, the dates of the keys, the current and the last epoch, ended\n"
    "          epochs whose secret keys are still there and each source's last sequence\n"
    "          number; warns when the keys run out within 30 days; exit 1 when sealing\n"
    "          cannot work now, with the command that mends it\n"
    "  extend  adds epochs up to DATE (default two years on) under the same key, with the\n"
    "          master secret of FILE\n"
    "  erase   erases the secret keys of ended epochs by the clock, without collecting\n"
    "          (every run also does); prints nothing when done. A clock more than 7 days\n"
    "          after the latest time the store has seen erases nothing, here and in every\n"
    "          run, until --accept-clock accepts it\n"
    "\n"
    "DATE is YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ (UTC). Exit codes: 0 done, 1 failed, 2 usage.\n";

constexpr int64_t dayMilliseconds = 86400000;
constexpr int64_t twoYears = 730 * dayMilliseconds;
// status warns when the keys run out within this many days.
constexpr int64_t warnDays = 30;

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool digitsAt(const std::string& text, size_t at, size_t n, int64_t& value)
{
    if (at + n > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// 1900epoch milliseconds of a DATE.
bool parseDate(const std::string& text, int64_t& milliseconds)
{
    int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const bool date = digitsAt(text, 0, 4, year) && text.size() >= 10 && text[4] == '-' &&
                      digitsAt(text, 5, 2, month) && text[7] == '-' && digitsAt(text, 8, 2, day) && month >= 1 &&
                      month <= 12 && day >= 1 && day <= 31;
    if (!date) {
        return false;
    }
    if (text.size() != 10) {
        const bool time = text.size() == 20 && text[10] == 'T' && digitsAt(text, 11, 2, hour) && text[13] == ':' &&
                          digitsAt(text, 14, 2, minute) && text[16] == ':' && digitsAt(text, 17, 2, second) &&
                          text[19] == 'Z' && hour < 24 && minute < 60 && second < 60;
        if (!time) {
            return false;
        }
    }
    const int64_t days = daysFromCivil(year, month, day) - daysFromCivil(1900, 1, 1) + 1;
    milliseconds = days * dayMilliseconds + ((hour * 60 + minute) * 60 + second) * 1000;
    return true;
}

struct Arguments {
    std::string command;
    std::string dir;
    std::string epoch = "PT1H";
    std::string host;
    std::string until;
    std::string masterOut;
    std::string master;
    bool acceptClock = false;
};

int usageError(const std::string& text)
{
    std::fprintf(stderr, "trawlex-seal: %s\n\n%s", text.c_str(), usage);
    return 2;
}

int failed(const std::string& text)
{
    std::printf("ERROR: %s\n", text.c_str());
    return 1;
}

std::string timeText(int64_t count)
{
    return SealStore::dateOf(count);
}

const char* const extendHint = "add keys with \"trawlex-seal extend --master FILE\" or make a new store with "
                               "\"trawlex-seal init\"";

int init(const Arguments& arguments, const std::string& dir)
{
    SealStore::Settings settings;
    settings.now = DateTime::now().count;
    const KelvraCorelib::TimeSpan span(arguments.epoch);
    settings.span = span.totalMilliseconds(false);
    if (span.years != 0 || span.months != 0 || settings.span < 1000) {
        return usageError("the epoch span must be a fixed span of at least one second: \"" + arguments.epoch + "\"");
    }
    settings.until = settings.now + twoYears;
    if (!arguments.until.empty() && !parseDate(arguments.until, settings.until)) {
        return usageError("not a date: \"" + arguments.until + "\"");
    }
    settings.masterOut = arguments.masterOut;
    settings.host = arguments.host.empty() ? KelvraCorelib::systemValue(KelvraCorelib::SystemValueId::hostName)
                                           : arguments.host;
    if (!KelvraCorelib::SealLine::isHostName(settings.host)) {
        return usageError("\"" + settings.host + "\" cannot name the host a store is bound to (1 to 255 printable "
                          "characters, no blank); name it with --host");
    }
    std::string line;
    std::string problem;
    if (!SealStore::create(dir, settings, line, problem)) {
        return failed(problem);
    }
    std::printf("%s\n", line.c_str());
    return 0;
}

int status(const std::string& dir)
{
    SealStore store;
    std::string problem;
    if (!store.open(dir, problem)) {
        return failed(problem + "; sealing cannot work until it is mended or a new store is made with "
                                "\"trawlex-seal init\"");
    }
    const int64_t now = DateTime::now().count;
    const int64_t span = store.span();
    const uint64_t first = store.firstEpoch();
    const uint64_t end = first + store.epochCount();
    std::printf("store: %s\nkey id: %s\n", dir.c_str(), store.keyId().c_str());
    if (store.format() == KelvraCorelib::SealLine::firstFormat) {
        std::printf("host: none (format 1: the keys are not bound to a host; make a new store with init)\n");
    } else {
        std::printf("host: %s\n", store.host().c_str());
    }
    std::printf("epoch span: %s\n", KelvraCorelib::TimeSpan(span).toText().c_str());
    std::printf("keys: %s to %s (epochs %llu to %llu)\n", timeText(int64_t(first) * span).c_str(),
                timeText(int64_t(end) * span).c_str(), (unsigned long long)first, (unsigned long long)(end - 1));
    const int64_t latest = store.latestTime();
    if (latest > 0) {
        std::printf("latest time seen: %s\n", timeText(latest).c_str());
    }
    std::vector<std::string> errors;
    SealStore::Epoch epoch;
    const uint64_t current = uint64_t(now / span);
    if (current >= first && current < end) {
        if (!store.epochByIndex(current - first, epoch, SealStore::WithSecret::yes, problem)) {
            errors.push_back(problem);
        } else {
            std::printf("current epoch: %llu (%s to %s), secret key %s\n", (unsigned long long)epoch.number,
                        timeText(epoch.start).c_str(), timeText(epoch.end).c_str(),
                        epoch.seed.empty() ? "erased" : "present");
            if (epoch.seed.empty()) {
                errors.push_back("the secret key of the current epoch was erased; make a new store with "
                                 "\"trawlex-seal init\"");
            }
        }
    } else {
        std::printf("current epoch: %llu (%s to %s), not in the store\n", (unsigned long long)current,
                    timeText(int64_t(current) * span).c_str(), timeText(int64_t(current + 1) * span).c_str());
        errors.push_back("the store has no key for now (" + timeText(now) + "); " + extendHint);
    }
    // Erased keys are a prefix: look back from the newest ended epoch.
    uint64_t kept = 0;
    int64_t keptFrom = 0;
    for (uint64_t number = std::min(current, end); number > first; --number) {
        if (!store.epochByIndex(number - 1 - first, epoch, SealStore::WithSecret::yes, problem)) {
            errors.push_back(problem);
            break;
        }
        if (epoch.seed.empty()) {
            break;
        }
        ++kept;
        keptFrom = epoch.start;
    }
    if (kept == 0) {
        std::printf("ended epochs with a secret key still present: none\n");
    } else {
        std::printf("ended epochs with a secret key still present: %llu (from %s); \"trawlex-seal erase\" erases "
                    "them\n",
                    (unsigned long long)kept, timeText(keptFrom).c_str());
    }
    if (store.epochByIndex(store.epochCount() - 1, epoch, SealStore::WithSecret::no, problem)) {
        std::printf("last epoch: %llu (%s to %s)\n", (unsigned long long)epoch.number, timeText(epoch.start).c_str(),
                    timeText(epoch.end).c_str());
    } else {
        errors.push_back(problem);
    }
    for (const auto& [source, sequence] : KelvraCorelib::SealChain::lastSequences(store.chainFolder())) {
        std::printf("source %s: last sequence %llu\n", KelvraCorelib::DataLogName::sourceKeyText(source).c_str(),
                    (unsigned long long)sequence);
    }
    if (latest > 0 && now - latest > SealStore::aheadLimit) {
        errors.push_back("the clock (" + timeText(now) + ") is more than 7 days after the latest time the store has "
                         "seen (" + timeText(latest) + "): runs erase nothing and seal nothing; when the clock is "
                         "right, accept it with \"trawlex-seal erase --accept-clock\"");
    }
    const int64_t left = int64_t(end) * span - now;
    if (errors.empty() && left < warnDays * dayMilliseconds) {
        std::printf("WARNING: the keys run out on %s (in %lld days); %s\n", timeText(int64_t(end) * span).c_str(),
                    (long long)(left / dayMilliseconds), extendHint);
    }
    for (const std::string& error : errors) {
        std::printf("ERROR: Cannot seal now: %s\n", error.c_str());
    }
    return errors.empty() ? 0 : 1;
}

int erase(const Arguments& arguments, const std::string& dir)
{
    SealStore store;
    std::string problem;
    const int64_t now = DateTime::now().count;
    const auto clock = arguments.acceptClock ? SealStore::Clock::accepted : SealStore::Clock::checked;
    if (!store.open(dir, problem) || !store.eraseEnded(now, clock, problem)) {
        return failed(problem);
    }
    if (arguments.acceptClock) {
        std::printf("clock accepted: %s; the keys of the epochs ended by then are erased\n", timeText(now).c_str());
    }
    return 0;
}

int extend(const Arguments& arguments, const std::string& dir)
{
    if (arguments.master.empty()) {
        return usageError("extend needs --master FILE");
    }
    int64_t until = DateTime::now().count + twoYears;
    if (!arguments.until.empty() && !parseDate(arguments.until, until)) {
        return usageError("not a date: \"" + arguments.until + "\"");
    }
    SealStore store;
    std::string problem;
    if (!store.open(dir, problem) || !store.extend(arguments.master, until, problem)) {
        return failed(problem);
    }
    SealStore::Epoch epoch;
    if (store.epochByIndex(store.epochCount() - 1, epoch, SealStore::WithSecret::no, problem)) {
        std::printf("last epoch: %llu (%s to %s)\n", (unsigned long long)epoch.number, timeText(epoch.start).c_str(),
                    timeText(epoch.end).c_str());
    }
    return 0;
}

int run(int argc, char** argv)
{
    Arguments arguments;
    std::vector<std::string> words(argv + 1, argv + argc);
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (word == "--accept-clock") {
            arguments.acceptClock = true;
            continue;
        }
        std::string* value = word == "--dir"          ? &arguments.dir
                             : word == "--host"       ? &arguments.host
                             : word == "--epoch"      ? &arguments.epoch
                             : word == "--until"      ? &arguments.until
                             : word == "--master-out" ? &arguments.masterOut
                             : word == "--master"     ? &arguments.master
                                                      : nullptr;
        if (value != nullptr) {
            if (i + 1 >= words.size()) {
                return usageError("\"" + word + "\" needs a value");
            }
            *value = words[++i];
        } else if (!word.empty() && word[0] == '-') {
            return usageError("unknown option \"" + word + "\"");
        } else if (arguments.command.empty()) {
            arguments.command = word;
        } else {
            return usageError("unexpected argument \"" + word + "\"");
        }
    }
    const std::string dir = arguments.dir.empty() ? SealStore::directory() : arguments.dir;
    const bool initOnly = !arguments.masterOut.empty() || arguments.epoch != "PT1H" || !arguments.host.empty();
    if (arguments.acceptClock && arguments.command != "erase") {
        return usageError("--accept-clock belongs to erase");
    }
    if (arguments.command == "init") {
        return init(arguments, dir);
    }
    if (initOnly) {
        return usageError("--host, --epoch and --master-out belong to init");
    }
    if (arguments.command == "status") {
        return status(dir);
    }
    if (arguments.command == "extend") {
        return extend(arguments, dir);
    }
    if (arguments.command == "erase") {
        return erase(arguments, dir);
    }
    return usageError(arguments.command.empty() ? "no command given" : "unknown command \"" + arguments.command + "\"");
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return failed("not enough memory");
    }
}
