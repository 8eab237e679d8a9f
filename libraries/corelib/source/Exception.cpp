#include "corelib/Exception.h"

#include <atomic>

#include "corelib/StringTools.h"

namespace KelvraCorelib {

namespace {

std::atomic<bool> errorModeThrowsFlag{true};

// Strips the message-text markup: one pass, three states, at most one held-back "}".
template <typename Text>
Text stripMarkup(const Text& messageTemplate)
{
    enum class State { Between, InsideId, InsideText };
    State state = State::Between;
    bool heldBrace = false;
    Text result;
    result.reserve(messageTemplate.size());
    for (const auto c : messageTemplate) {
        switch (state) {
        case State::Between:
            if (c == ';')
                break;
            if (c == '@') {
                heldBrace = false;  // a "}" followed by "@" is dropped
                state = State::InsideId;
                break;
            }
            if (heldBrace) {
                result += '}';
                heldBrace = false;
            }
            result += c;
            state = State::InsideText;
            break;
        case State::InsideId:
            if (c == '{')
                state = State::InsideText;
            break;
        case State::InsideText:
            if (c == '@') {
                state = State::Between;
            } else if (c == '}') {
                heldBrace = true;
                state = State::Between;
            } else {
                result += c;
            }
            break;
        }
    }
    return result;
}

}  // namespace

std::string stripMessageMarkup(const std::string& messageTemplate)
{
    return stripMarkup(messageTemplate);
}

Exception::Exception() : className("Exception") {}

Exception::Exception(const std::string& messageTemplate) : className("Exception"), messageTemplate(messageTemplate) {}

Exception::Exception(const std::string& messageTemplate, const std::string& annotation)
    : className("Exception"), messageTemplate(messageTemplate)
{
    annotations.push_back(annotation);
}

Exception::Exception(const std::string& messageTemplate, const ParamStream& parameters)
    : className("Exception"), messageTemplate(messageTemplate), parameters(parameters)
{
}

Exception::Exception(const std::string& messageTemplate, const std::string& annotation, const ParamStream& parameters)
    : className("Exception"), messageTemplate(messageTemplate), parameters(parameters)
{
    annotations.push_back(annotation);
}

Exception::Exception(const std::string& annotation, const Exception& inner) : className("Exception")
{
    nested.push_back(inner);
    annotations.push_back(annotation);
}

Exception::Exception(const Exception& other) = default;

Exception& Exception::operator=(const Exception& other)
{
    if (this != &other) {
        className = other.className;
        messageTemplate = other.messageTemplate;
        wideTemplate = other.wideTemplate;
        parameters = other.parameters;
        annotations = other.annotations;
        // Copy first: other may be one of our own nested exceptions.
        std::vector<Exception> copies = other.nested;
        nested.swap(copies);
    }
    return *this;
}

Exception::~Exception() = default;

std::string Exception::getMessage(bool withClassName) const
{
    if (messageTemplate.empty() && !wideTemplate.empty())
        return StringTools::narrow(getWideMessage(true));
    std::string message = withClassName ? className + ":" : std::string();
    if (!messageTemplate.empty()) {
        ParamStream values = parameters;  // a copy reads from the first value
        message += " ";
        message += values.format(stripMarkup(messageTemplate));
    }
    for (const Exception& inner : nested) {
        message += "\n";
        message += inner.getMessage(true);
    }
    return message;
}

WideString Exception::getWideMessage(bool withClassName) const
{
    if (wideTemplate.empty() && !messageTemplate.empty())
        return StringTools::widen(getMessage(true));
    WideString message = withClassName ? StringTools::widen(className) + u":" : WideString();
    if (!wideTemplate.empty()) {
        ParamStream values = parameters;
        message += u" ";
        message += values.format(stripMarkup(wideTemplate));
    }
    for (const Exception& inner : nested) {
        message += u"\n";
        message += inner.getWideMessage(true);
    }
    return message;
}

std::string Exception::getAnnotations() const
{
    std::string text;
    for (const std::string& annotation : annotations)
        text += annotation;
    return text;
}

std::string Exception::getLogText() const
{
    return messageTemplate + getAnnotations();
}

bool errorModeThrows()
{
    return errorModeThrowsFlag.load();
}

void setErrorModeThrows(bool throws)
{
    errorModeThrowsFlag.store(throws);
}

}  // namespace KelvraCorelib
