#pragma once
// The one base class of all errors, the Throws mix-in, and the process-wide error mode
// of the data-handling classes.
//
// Message-text notation: "@" id "{" text "};", e.g.
//   "@thread.start.failed-to-start{Failed to start thread \"%\" (error=%)};"
// getMessage strips the markup and fills each "%" with the next parameter.

#include <string>
#include <vector>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {

class Exception {
public:
    Exception();
    explicit Exception(const std::string& messageTemplate);
    Exception(const std::string& messageTemplate, const std::string& annotation);
    Exception(const std::string& messageTemplate, const ParamStream& parameters);
    Exception(const std::string& messageTemplate, const std::string& annotation, const ParamStream& parameters);
    // Wraps a caught exception: no template of its own.
    Exception(const std::string& annotation, const Exception& inner);
    Exception(const Exception& other);
    Exception& operator=(const Exception& other);
    virtual ~Exception();

    std::string getMessage(bool withClassName) const;
    WideString getWideMessage(bool withClassName) const;
    std::string getAnnotations() const;
    std::string getLogText() const;

    std::string className;
    std::string messageTemplate;
    WideString wideTemplate;
    ParamStream parameters;
    std::vector<std::string> annotations;
    std::vector<Exception> nested;
};

// Markup stripping of the message-text notation ("@id{text};" -> "text").
std::string stripMessageMarkup(const std::string& messageTemplate);

// Empty mix-in base of classes whose operations throw.
class Throws {
public:
    virtual ~Throws() = default;
};

// Process-wide error mode of the data-handling classes: true (the start value) makes them
// throw; false makes them log the error and return false.
bool errorModeThrows();
void setErrorModeThrows(bool throws);

}  // namespace KelvraCorelib

// Declares an error class nested where it is used: it forwards every Exception
// constructor and names itself. Use inside a class body or a namespace:
//   KELVRA_ERROR_CLASS(Start_FailedToStart);
#define KELVRA_ERROR_CLASS(Name)                                                                     \
    class Name : public ::KelvraCorelib::Exception {                                                 \
    public:                                                                                          \
        Name() : ::KelvraCorelib::Exception() { className = #Name; }                                 \
        explicit Name(const std::string& messageTemplate) : ::KelvraCorelib::Exception(messageTemplate) \
        {                                                                                            \
            className = #Name;                                                                       \
        }                                                                                            \
        Name(const std::string& messageTemplate, const std::string& annotation)                      \
            : ::KelvraCorelib::Exception(messageTemplate, annotation)                                \
        {                                                                                            \
            className = #Name;                                                                       \
        }                                                                                            \
        Name(const std::string& messageTemplate, const ::KelvraCorelib::ParamStream& parameters)     \
            : ::KelvraCorelib::Exception(messageTemplate, parameters)                                \
        {                                                                                            \
            className = #Name;                                                                       \
        }                                                                                            \
        Name(const std::string& messageTemplate, const std::string& annotation,                      \
             const ::KelvraCorelib::ParamStream& parameters)                                         \
            : ::KelvraCorelib::Exception(messageTemplate, annotation, parameters)                    \
        {                                                                                            \
            className = #Name;                                                                       \
        }                                                                                            \
        Name(const std::string& annotation, const ::KelvraCorelib::Exception& inner)                 \
            : ::KelvraCorelib::Exception(annotation, inner)                                          \
        {                                                                                            \
            className = #Name;                                                                       \
        }                                                                                            \
    }
