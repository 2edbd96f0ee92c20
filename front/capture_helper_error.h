// The tool's own failures and their one-line messages. Raised by the recorder (start, and stop's finishing check),
// turned into standard-error output and an exit status only by the front end.
//
// A plain value: no state beyond the kind and its text, no dependency beyond the standard library, safe to copy to
// and read on any thread.
#pragma once

#include <string>
#include <utility>

namespace qfx {

class CaptureHelperError {
public:
    enum class Kind {
        writerCreation,   ///< the writer cannot be made for the output location, or refuses the AAC input
        writerStart,      ///< the writer does not start writing
        streamStart,      ///< the capture stream does not start
        invalidArguments, ///< not exactly one command-line argument
        noDisplay,        ///< the shareable content lists no display
        writerFinish,     ///< the writer reports, after finishing, that finishing failed
    };

    static CaptureHelperError writerCreation(std::string payload) { return {Kind::writerCreation, std::move(payload)}; }
    static CaptureHelperError writerStart(std::string payload) { return {Kind::writerStart, std::move(payload)}; }
    static CaptureHelperError streamStart(std::string payload) { return {Kind::streamStart, std::move(payload)}; }
    static CaptureHelperError invalidArguments() { return {Kind::invalidArguments, {}}; }
    static CaptureHelperError noDisplay() { return {Kind::noDisplay, {}}; }
    static CaptureHelperError writerFinish(std::string payload) { return {Kind::writerFinish, std::move(payload)}; }

    [[nodiscard]] Kind kind() const { return kind_; }
    /// The text supplied by whoever raised it; empty for the kinds that carry none.
    [[nodiscard]] const std::string& payload() const { return payload_; }

    /// The message, never empty and never holding a line break. A payload is appended unchanged after the prefix's
    /// colon and space, with nothing after it: the parent matches these texts, so they stay byte for byte as they are.
    [[nodiscard]] std::string errorDescription() const {
        switch (kind_) {
        case Kind::writerCreation:
            return "Unable to create audio writer: " + payload_;
        case Kind::writerStart:
            return "Unable to start audio writer: " + payload_;
        case Kind::streamStart:
            return "Unable to start system audio capture: " + payload_;
        case Kind::invalidArguments:
            return "Usage: qfx_system_audio <output.m4a>";
        case Kind::noDisplay:
            return "No display is available for ScreenCaptureKit audio capture.";
        case Kind::writerFinish:
            return "Unable to finish audio writer: " + payload_;
        }
        return {}; // unreachable: every kind is handled above
    }

    friend bool operator==(const CaptureHelperError&, const CaptureHelperError&) = default;

private:
    CaptureHelperError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    std::string payload_;
};

} // namespace qfx
