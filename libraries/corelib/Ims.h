#pragma once
// The in-process message hub and its agents.
//
// Agents set hooks (three globs over a message's general, group and message type) and
// receive, on the sender's thread and before sendMessage returns, every message that
// matches. Answers travel back in the message's parameter object, which the sender owns.
//
//   class Store : public ImsAgent {
//       Store() : ImsAgent("store") { hookId = setMessageHook(false, "conf", "query", "", 1); }
//       ~Store() override { removeMessageHook(hookId); }
//       int32_t handleHookedMessage(uint64_t id, const ImsMessage& m) override
//       { return id == hookId ? handleMessage(m) : notHandled; }
//       int32_t handleMessage(const ImsMessage& m) override { ...; return handled; }
//   };

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "corelib/Exception.h"
#include "corelib/ThreadLock.h"

namespace KelvraCorelib {

class Ims;
class ImsAgent;

// Polymorphic base of every message payload.
class ImsMessageParameter {
public:
    virtual ~ImsMessageParameter() = default;
};

class ImsMessage {
public:
    ImsMessage() = default;
    ImsMessage(const std::string& generalType, const std::string& groupType, const std::string& messageType,
               ImsMessageParameter* parameter = nullptr);
    // A copy never owns the parameter; moving passes ownership on.
    ImsMessage(const ImsMessage& other);
    ImsMessage& operator=(const ImsMessage& other);
    ImsMessage(ImsMessage&& other) noexcept;
    ImsMessage& operator=(ImsMessage&& other) noexcept;
    // Deletes the parameter when ownsParameter is set.
    ~ImsMessage();

    // "\tGeneral type: conf\n\tGroup type  : query\n\tMessage type: "
    std::string describe() const;

    std::string generalType;
    std::string groupType;
    std::string messageType;
    ImsMessageParameter* parameter = nullptr;
    bool ownsParameter = false;
    // The sending agent; in a hook pattern the sender filter (null: any sender).
    ImsAgent* sender = nullptr;
};

struct ImsHook {
    ImsAgent* agent = nullptr;
    ImsMessage pattern;  // three globs and the sender filter; no parameter
    bool once = false;   // removed after the first dispatch that handled the message
};

// Key of a tier entry: the three globs, ordered as byte strings.
struct ImsPatternKey {
    std::string generalType;
    std::string groupType;
    std::string messageType;
    bool operator<(const ImsPatternKey& other) const;
};

class Ims {
public:
    KELVRA_ERROR_CLASS(Ims_OutOfMemory);
    KELVRA_ERROR_CLASS(Hook_Duplicate);

    // The process-wide hub, created by the first call and never destroyed.
    static Ims* instance();

    // Agents attach to instance(); a hub of its own is for tests.
    Ims();
    virtual ~Ims();
    Ims(const Ims&) = delete;
    Ims& operator=(const Ims&) = delete;

    // Returns the new hook's id. Tier 0 and 1 select those tiers, any other value tier 2.
    // Throws Hook_Duplicate when the agent already has a hook with the same three globs
    // in the first tier that holds them.
    uint64_t setMessageHook(ImsAgent* agent, bool once, const std::string& generalGlob,
                            const std::string& groupGlob, const std::string& messageGlob, ImsAgent* senderFilter,
                            int32_t tier);
    // False when the id is not set.
    bool removeMessageHook(uint64_t hookId);
    // Calls every matching hook, tier 0 to 2, patterns in key order, ids ascending, until
    // one answers handledFinal. True when some hook handled the message.
    bool sendMessage(ImsMessage& message);

    // Number of hooks set.
    size_t hookCount() const;
    // True when the globs of some hook take a message of these types (sender filters aside).
    bool hasHookFor(const std::string& generalType, const std::string& groupType,
                    const std::string& messageType) const;
    // Counts the hooks set and removed, so that an answer of hasHookFor can be kept until it
    // changes.
    uint64_t hookChanges() const { return changes.load(std::memory_order_acquire); }

    static bool matches(const ImsMessage& pattern, const ImsMessage& message);

private:
    using TierMap = std::map<ImsPatternKey, std::set<uint64_t>>;

    std::map<uint64_t, ImsHook> hooks;
    TierMap tiers[3];
    std::atomic<uint64_t> changes{0};
    mutable ThreadLock lock;
};

class ImsAgent {
public:
    // Handler results.
    static constexpr int32_t notHandled = 1;    // not for me
    static constexpr int32_t handled = 2;       // dealt with; others may still see it
    static constexpr int32_t handledFinal = 3;  // dealt with; stop the dispatch

    // Thrown by setMessageHook in place of the hub's error, which it holds nested.
    KELVRA_ERROR_CLASS(Hook_Duplicate);

    // Attaches to the process-wide hub. An agent named "logger" writes no traces.
    explicit ImsAgent(const std::string& name);
    // Does not remove hooks: an agent removes its own before it is gone.
    virtual ~ImsAgent();
    ImsAgent(const ImsAgent&) = delete;
    ImsAgent& operator=(const ImsAgent&) = delete;

    virtual int32_t handleMessage(const ImsMessage& message);
    virtual int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message);

    // Hook of this agent on the process-wide hub, any sender; 0 when there is no hub.
    uint64_t setMessageHook(bool once, const std::string& generalGlob, const std::string& groupGlob,
                            const std::string& messageGlob, int32_t tier = 1);
    bool removeMessageHook(uint64_t hookId);
    // Removes a hook from the given hub.
    bool removeMessageHook(Ims* fromHub, uint64_t hookId);
    // Sends through the hub with this agent as sender.
    bool sendMessage(ImsMessage& message);
    // Calls the target's handleMessage directly, bypassing every hook.
    bool sendMessage(ImsAgent* target, ImsMessage& message);

    Ims* hub = nullptr;  // null only when the hub could not be created
    std::string name;
    bool isLogger = false;
};

}  // namespace KelvraCorelib
