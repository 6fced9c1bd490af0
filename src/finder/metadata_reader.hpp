// Core metadata (RFC 822 header fields, a blank line, the description) read
// as it arrives, a piece at a time: counted against limits::kMetadata, and of
// it only the lines of the Requires-Dist fields kept (at most
// limits::kRequirements), which are then parsed by the standard library's
// email parser. So neither the description nor the other fields are ever
// held or parsed, whatever their size, while `get_all("Requires-Dist")` of
// the result is that of the whole text.
//
// Which lines make up a field is decided here as the email parser (its
// default compat32 policy) decides it: lines end at "\r\n", "\r" or "\n";
// the header section ends at the first line that is blank or is no header
// line; a line starting with a blank or a tab continues the field before it;
// a line starting with "From " (an envelope line) or with ":" starts no
// field; any other header line starts the field named by what precedes its
// first ":". tests/test_finder_limits.py holds the two to the same answers.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/ref.hpp"

namespace pic::finder {

class MetadataReader {
public:
    // `source` names what is read in messages (a URL, a wheel's file name).
    explicit MetadataReader(const Object& source) : source_(source) {}

    void feed(const Object& piece);  // bytes

    // An email.message.Message holding the Requires-Dist fields. The bytes
    // are read as UTF-8, an invalid byte as U+FFFD.
    Object message() const;

private:
    enum class Line { start, name, kept, skipped };
    bool step(unsigned char c);  // false: the header section has ended
    bool read_name(unsigned char c);
    void end_line();

    Object source_;
    int64_t total_ = 0;
    bool headers_done_ = false;
    Line line_ = Line::start;
    bool after_cr_ = false;     // the line ended with "\r": a "\n" may follow
    bool field_kept_ = false;   // the field that continuation lines would join is Requires-Dist
    std::string name_;          // the start of the line while it may still be a field name
    int64_t name_length_ = 0;
    std::string kept_;
};

}  // namespace pic::finder
