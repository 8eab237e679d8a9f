#include "corelib/Ims.h"

#include <new>

#include "corelib/Logger.h"
#include "corelib/MatchGlob.h"

namespace KelvraCorelib {

namespace {

bool levelMatches(const std::string& glob, const std::string& type)
{
    return glob.empty() || matchGlob(type, glob);
}

bool keyMatches(const ImsPatternKey& key, const std::string& generalType, const std::string& groupType,
                const std::string& messageType)
{
    return levelMatches(key.generalType, generalType) && levelMatches(key.groupType, groupType) &&
           levelMatches(key.messageType, messageType);
}

// The hub's own logger, which writes the agents' trace lines. Created by the first agent
// that is not a logger, and never destroyed, so that agents destroyed at exit can trace.
Logger& hubLogger()
{
    static Logger* logger = [] {
        Logger* created = new Logger();
        if (created->moduleName.empty() || created->moduleName == "anonymous")
            created->setModuleName("imsagent");
        return created;
    }();
    return *logger;
}

// Releases a held ThreadLock when the scope is left, also by an exception.
class Held {
public:
    explicit Held(ThreadLock& lock) : lock(lock) { lock.lock(true); }
    ~Held() { release(); }
    void release()
    {
        if (held) {
            held = false;
            lock.unlock();
        }
    }

private:
    ThreadLock& lock;
    bool held = true;
};

}  // namespace

// ---------------------------------------------------------------------------- ImsMessage

ImsMessage::ImsMessage(const std::string& generalType, const std::string& groupType, const std::string& messageType,
                       ImsMessageParameter* parameter)
    : generalType(generalType), groupType(groupType), messageType(messageType), parameter(parameter)
{
}

ImsMessage::ImsMessage(const ImsMessage& other)
    : generalType(other.generalType),
      groupType(other.groupType),
      messageType(other.messageType),
      parameter(other.parameter),
      ownsParameter(false),
      sender(other.sender)
{
}

ImsMessage& ImsMessage::operator=(const ImsMessage& other)
{
    if (this != &other) {
        if (ownsParameter && parameter != other.parameter)
            delete parameter;
        generalType = other.generalType;
        groupType = other.groupType;
        messageType = other.messageType;
        parameter = other.parameter;
        ownsParameter = false;
        sender = other.sender;
    }
    return *this;
}

ImsMessage::ImsMessage(ImsMessage&& other) noexcept
    : generalType(std::move(other.generalType)),
      groupType(std::move(other.groupType)),
      messageType(std::move(other.messageType)),
      parameter(other.parameter),
      ownsParameter(other.ownsParameter),
      sender(other.sender)
{
    other.ownsParameter = false;
}

ImsMessage& ImsMessage::operator=(ImsMessage&& other) noexcept
{
    if (this != &other) {
        if (ownsParameter && parameter != other.parameter)
            delete parameter;
        generalType = std::move(other.generalType);
        groupType = std::move(other.groupType);
        messageType = std::move(other.messageType);
        parameter = other.parameter;
        ownsParameter = other.ownsParameter;
        sender = other.sender;
        other.ownsParameter = false;
    }
    return *this;
}

ImsMessage::~ImsMessage()
{
    if (ownsParameter)
        delete parameter;
}

std::string ImsMessage::describe() const
{
    return "\tGeneral type: " + generalType + "\n\tGroup type  : " + groupType + "\n\tMessage type: " + messageType;
}

bool ImsPatternKey::operator<(const ImsPatternKey& other) const
{
    if (int c = generalType.compare(other.generalType); c != 0)
        return c < 0;
    if (int c = groupType.compare(other.groupType); c != 0)
        return c < 0;
    return messageType.compare(other.messageType) < 0;
}

// ---------------------------------------------------------------------------- Ims

Ims* Ims::instance()
{
    static Ims* hub = [] {
        Ims* created = new (std::nothrow) Ims();
        if (created == nullptr)
            throw Ims_OutOfMemory("@out-of-memory{Out of memory};", KELVRA_HERE);
        return created;
    }();
    return hub;
}

Ims::Ims() = default;

Ims::~Ims() = default;

bool Ims::matches(const ImsMessage& pattern, const ImsMessage& message)
{
    if (pattern.sender != nullptr && pattern.sender != message.sender)
        return false;
    return levelMatches(pattern.generalType, message.generalType) &&
           levelMatches(pattern.groupType, message.groupType) &&
           levelMatches(pattern.messageType, message.messageType);
}

uint64_t Ims::setMessageHook(ImsAgent* agent, bool once, const std::string& generalGlob,
                             const std::string& groupGlob, const std::string& messageGlob, ImsAgent* senderFilter,
                             int32_t tier)
{
    ImsHook hook;
    hook.agent = agent;
    hook.pattern = ImsMessage(generalGlob, groupGlob, messageGlob);
    hook.pattern.sender = senderFilter;
    hook.once = once;
    const ImsPatternKey key{generalGlob, groupGlob, messageGlob};

    Held held(lock);
    for (const TierMap& tierMap : tiers) {
        const auto entry = tierMap.find(key);
        if (entry == tierMap.end())
            continue;
        for (uint64_t id : entry->second) {
            const auto found = hooks.find(id);
            if (found != hooks.end() && found->second.agent == agent) {
                held.release();
                throw Hook_Duplicate("@ims.hook.duplicate{Trying to set a hook identical to a hook already set};",
                                     KELVRA_HERE);
            }
        }
        break;  // only the first tier that holds the globs is searched
    }
    const uint64_t id = hooks.empty() ? 1 : hooks.rbegin()->first + 1;
    hooks.emplace(id, std::move(hook));
    TierMap& chosen = tiers[tier == 0 ? 0 : tier == 1 ? 1 : 2];
    chosen[key].insert(id);
    changes.fetch_add(1, std::memory_order_acq_rel);
    return id;
}

bool Ims::removeMessageHook(uint64_t hookId)
{
    Held held(lock);
    const auto found = hooks.find(hookId);
    if (found == hooks.end())
        return false;
    const ImsMessage& pattern = found->second.pattern;
    const ImsPatternKey key{pattern.generalType, pattern.groupType, pattern.messageType};
    for (TierMap& tierMap : tiers) {
        const auto entry = tierMap.find(key);
        if (entry == tierMap.end())
            continue;
        entry->second.erase(hookId);
        if (entry->second.empty())
            tierMap.erase(entry);
        break;
    }
    hooks.erase(found);
    changes.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool Ims::sendMessage(ImsMessage& message)
{
    int32_t status = ImsAgent::notHandled;
    std::vector<uint64_t> removals;
    for (const TierMap& tierMap : tiers) {
        if (status == ImsAgent::handledFinal)
            break;
        // The ids of the matching patterns, taken under the lock; a hook removed before its
        // turn is skipped below.
        std::vector<uint64_t> matching;
        {
            Held held(lock);
            for (const auto& [key, ids] : tierMap) {
                if (keyMatches(key, message.generalType, message.groupType, message.messageType))
                    matching.insert(matching.end(), ids.begin(), ids.end());
            }
        }
        for (uint64_t id : matching) {
            if (status == ImsAgent::handledFinal)
                break;
            ImsAgent* agent = nullptr;
            bool once = false;
            {
                Held held(lock);
                const auto found = hooks.find(id);
                if (found == hooks.end() || found->second.agent == nullptr)
                    continue;
                const ImsMessage& pattern = found->second.pattern;
                if (pattern.sender != nullptr && pattern.sender != message.sender)
                    continue;
                agent = found->second.agent;
                once = found->second.once;
            }
            const int32_t result = agent->handleHookedMessage(id, message);
            if (result == ImsAgent::handled)
                status = ImsAgent::handled;
            else if (result == ImsAgent::handledFinal)
                status = ImsAgent::handledFinal;
            if (once && status != ImsAgent::notHandled)
                removals.push_back(id);
        }
    }
    for (uint64_t id : removals)
        removeMessageHook(id);
    return status != ImsAgent::notHandled;
}

bool Ims::hasHookFor(const std::string& generalType, const std::string& groupType,
                     const std::string& messageType) const
{
    Held held(lock);
    for (const TierMap& tierMap : tiers) {
        for (const auto& entry : tierMap) {
            if (keyMatches(entry.first, generalType, groupType, messageType))
                return true;
        }
    }
    return false;
}

size_t Ims::hookCount() const
{
    Held held(lock);
    return hooks.size();
}

// ---------------------------------------------------------------------------- ImsAgent

ImsAgent::ImsAgent(const std::string& name) : name(name), isLogger(name == "logger")
{
    try {
        if (!isLogger)
            hubLogger();
        hub = Ims::instance();
    } catch (const Exception&) {
        hub = nullptr;
    }
}

ImsAgent::~ImsAgent() = default;

int32_t ImsAgent::handleMessage(const ImsMessage&)
{
    return notHandled;
}

int32_t ImsAgent::handleHookedMessage(uint64_t, const ImsMessage&)
{
    return notHandled;
}

uint64_t ImsAgent::setMessageHook(bool once, const std::string& generalGlob, const std::string& groupGlob,
                                  const std::string& messageGlob, int32_t tier)
{
    if (!isLogger && generalGlob != "debug") {
        Logger& logger = hubLogger();
        if (logger.isLogging(LogVerbose))
            logger.verbose("ImsAgent::setMessageHook: Setting hook:"
                           "\n\tHook only once   : %\n\tGeneral type glob: %\n\tGroup type glob  : %"
                           "\n\tMessage type glob: %",
                           ParamStream() << (once ? "yes" : "no") << generalGlob << groupGlob << messageGlob);
    }
    if (hub == nullptr)
        return 0;
    try {
        return hub->setMessageHook(this, once, generalGlob, groupGlob, messageGlob, nullptr, tier);
    } catch (const Exception& caught) {
        throw Hook_Duplicate(KELVRA_HERE, caught);
    }
}

bool ImsAgent::removeMessageHook(uint64_t hookId)
{
    if (!isLogger) {
        Logger& logger = hubLogger();
        if (logger.isLogging(LogVerbose))
            logger.verbose("ImsAgent::removeMessageHook: Removing hook %", ParamStream() << hookId);
    }
    Ims* processHub = hub;
    if (processHub == nullptr) {
        try {
            processHub = Ims::instance();
        } catch (const Exception&) {
            return false;
        }
    }
    return processHub->removeMessageHook(hookId);
}

bool ImsAgent::removeMessageHook(Ims* fromHub, uint64_t hookId)
{
    if (!isLogger) {
        Logger& logger = hubLogger();
        if (logger.isLogging(LogVerbose))
            logger.verbose("ImsAgent::removeMessageHook: Removing hook % from specific IMS system",
                           ParamStream() << hookId);
    }
    return fromHub != nullptr && fromHub->removeMessageHook(hookId);
}

bool ImsAgent::sendMessage(ImsMessage& message)
{
    message.sender = this;
    if (!isLogger && message.generalType != "debug") {
        Logger& logger = hubLogger();
        if (logger.isLogging(LogTrace))
            logger.trace("ImsAgent::sendMessage:\n%", ParamStream() << message.describe());
    }
    return hub != nullptr && hub->sendMessage(message);
}

bool ImsAgent::sendMessage(ImsAgent* target, ImsMessage& message)
{
    message.sender = this;
    if (!isLogger && message.generalType != "debug") {
        Logger& logger = hubLogger();
        if (logger.isLogging(LogTrace))
            logger.trace("ImsAgent::sendMessage: To \"%\":\n%",
                         ParamStream() << (target != nullptr ? target->name : std::string()) << message.describe());
    }
    return target != nullptr && target->handleMessage(message) != notHandled;
}

}  // namespace KelvraCorelib
