#include "finder/reading.hpp"

#include <cstring>

namespace pic::finder {

std::optional<std::pair<uint64_t, uint64_t>> Held::gap(uint64_t begin, uint64_t end) const {
    uint64_t at = begin;
    while (at < end) {
        auto next = spans_.upper_bound(at);
        if (next != spans_.begin()) {
            auto held = std::prev(next);
            uint64_t held_end = held->first + held->second.size();
            if (held_end > at) {
                at = held_end;
                continue;
            }
        }
        return std::pair{at, next == spans_.end() ? end : std::min(end, next->first)};
    }
    return std::nullopt;
}

std::optional<std::pair<uint64_t, uint64_t>> Held::missing() const {
    if (!pending) return std::nullopt;
    auto first_gap = gap(pending->begin, pending->end);
    // A copy keeps one span: what is waited for comes whole, or it would push out its own other part.
    if (first_gap && !ranges_) return std::pair{pending->begin, pending->end};
    return first_gap;
}

void Held::add(uint64_t begin, std::string bytes) {
    if (ranges_)
        kept_ += int64_t(bytes.size());
    else
        spans_.clear();
    spans_.emplace(begin, std::move(bytes));
}

Object Held::bytes(uint64_t begin, uint64_t end) const {
    Object result = Object::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(end - begin)));
    char* out = PyBytes_AS_STRING(result.get());
    for (uint64_t at = begin; at < end;) {
        auto held = spans_.upper_bound(at);
        if (held == spans_.begin()) raise(PyExc_SystemError, "a span read is not held");
        --held;
        uint64_t held_end = held->first + held->second.size();
        if (held_end <= at) raise(PyExc_SystemError, "a span read is not held");
        uint64_t n = std::min(held_end, end) - at;
        std::memcpy(out, held->second.data() + (at - held->first), size_t(n));
        out += n;
        at += n;
    }
    return result;
}

}  // namespace pic::finder
