#pragma once

#include <string>

namespace velora::st {

// Where the engine's events go. The report client implements it; an engine driven without
// one (tests, tools) only logs.
class EventSink {
public:
    virtual ~EventSink() = default;
    // The installed version is known: reporting can start. False when it cannot.
    virtual bool start(const std::string& version) = 0;
    // An event by its code, e.g. "I9104", and its text.
    virtual void event(const std::string& log_no, const std::string& text) = 0;
};

}  // namespace velora::st
