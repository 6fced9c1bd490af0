#include "finder/metadata_reader.hpp"

#include <string_view>

#include "finder/limits.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

constexpr std::string_view kField = "requires-dist";  // the name, compared without case
constexpr std::string_view kEnvelope = "From ";

bool is_field_name(std::string_view name) {
    if (name.size() != kField.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != kField[i]) return false;
    }
    return true;
}

// A byte that may be part of a field name: printable ASCII but ":".
bool in_name(unsigned char c) { return c >= 0x21 && c <= 0x7E && c != ':'; }

}  // namespace

void MetadataReader::feed(const Object& piece) {
    Py_ssize_t size = PyBytes_GET_SIZE(piece.get());
    total_ += size;
    if (total_ > limits::kMetadata) {
        PyErr_Format(PyExc_ValueError, "METADATA of %S is larger than %lld MiB", source_.get(),
                     static_cast<long long>(limits::kMetadata >> 20));
        throw_error();
    }
    if (headers_done_) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(piece.get()));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!step(bytes[i])) {
            headers_done_ = true;
            break;
        }
    }
    if (int64_t(kept_.size()) > limits::kRequirements) {
        PyErr_Format(PyExc_ValueError, "the Requires-Dist fields of %S are larger than %lld KiB", source_.get(),
                     static_cast<long long>(limits::kRequirements >> 10));
        throw_error();
    }
}

bool MetadataReader::step(unsigned char c) {
    if (after_cr_) {
        after_cr_ = false;
        if (c == '\n') {
            if (line_ == Line::kept) kept_.push_back(char(c));
            end_line();
            return true;
        }
        end_line();
    }
    switch (line_) {
    case Line::start:
        if (c == '\r' || c == '\n') return false;  // the blank line after the header fields
        if (c == ' ' || c == '\t') {
            line_ = field_kept_ ? Line::kept : Line::skipped;
            break;
        }
        field_kept_ = false;  // any other line closes the field before it
        line_ = Line::name;
        return read_name(c);
    case Line::name:
        return read_name(c);
    case Line::kept:
    case Line::skipped:
        break;
    }
    if (line_ == Line::kept) kept_.push_back(char(c));
    if (c == '\n') end_line();
    else if (c == '\r') after_cr_ = true;
    return true;
}

// The start of a line that is no continuation: an envelope line, a field, or
// (a byte that cannot be in a name before the ":") the start of the description.
bool MetadataReader::read_name(unsigned char c) {
    int64_t at = name_length_++;
    if (name_.size() <= kField.size()) name_.push_back(char(c));
    if (at < int64_t(kEnvelope.size()) && std::string_view(name_) == kEnvelope.substr(0, size_t(at + 1))) {
        if (at + 1 == int64_t(kEnvelope.size())) line_ = Line::skipped;
        return true;
    }
    if (c == ':') {
        field_kept_ = is_field_name(std::string_view(name_).substr(0, name_.size() - 1)) && at == int64_t(kField.size());
        if (field_kept_) kept_ += name_;
        line_ = field_kept_ ? Line::kept : Line::skipped;
        return true;
    }
    return in_name(c);
}

void MetadataReader::end_line() {
    line_ = Line::start;
    name_.clear();
    name_length_ = 0;
}

Object MetadataReader::message() const {
    Object text = Object::steal(PyUnicode_DecodeUTF8(kept_.data(), Py_ssize_t(kept_.size()), "replace"));
    Object parser = import_module("email.parser").attr("Parser"_id)();
    return parser.call_method("parsestr"_id, text);
}

}  // namespace pic::finder
