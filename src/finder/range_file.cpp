#include "finder/range_file.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "finder/cancellation.hpp"
#include "finder/limits.hpp"

namespace pic::finder {

namespace {

// "bytes FIRST-LAST/TOTAL" of a partial answer; nullopt for any other form
// ("bytes */TOTAL", an unknown total, garbage).
struct ContentRange {
    int64_t first, last, total;
};
std::optional<ContentRange> parse_content_range(std::string_view text) {
    constexpr std::string_view unit = "bytes ";
    if (text.substr(0, unit.size()) != unit) return std::nullopt;
    text.remove_prefix(unit.size());
    ContentRange r{};
    const char* p = text.data();
    const char* end = p + text.size();
    auto number = [&](int64_t& out, char after) {
        auto [next, ec] = std::from_chars(p, end, out);
        if (ec != std::errc() || next == p) return false;
        p = next;
        if (after == '\0') return p == end;
        if (p == end || *p != after) return false;
        ++p;
        return true;
    };
    if (!number(r.first, '-') || !number(r.last, '/') || !number(r.total, '\0')) return std::nullopt;
    if (r.first < 0 || r.first > r.last || r.last >= r.total) return std::nullopt;
    return r;
}

[[noreturn]] void refuse(const Object& url) {
    PyErr_Format(PyExc_RuntimeError, "%S did not answer a range request with that range", url.get());
    throw_error();
}

}  // namespace

std::optional<std::string> RangeFile::usable_body(const Object& response, int64_t begin, int64_t end, Pace& pace) {
    if (stream_status(response) != 206) return std::nullopt;
    std::string encoding = header(response, "Content-Encoding");
    if (!encoding.empty() && encoding != "identity") return std::nullopt;
    auto range = parse_content_range(header(response, "Content-Range"));
    if (!range) return std::nullopt;
    bool tail = begin < 0;
    int64_t first = tail ? std::max<int64_t>(0, range->total + begin) : begin;
    int64_t last = tail ? range->total - 1 : std::min(end, size_) - 1;
    if (range->first != first || range->last != last || (!tail && range->total != size_)) return std::nullopt;
    int64_t length = last - first + 1;
    int64_t announced = content_length(response);
    if (announced != -1 && announced != length) return std::nullopt;

    std::string body;
    body.reserve(size_t(length));
    bool fits = true;
    Body(response, url_).each(pace, [&](const Object& chunk) {
        Py_ssize_t n = PyBytes_GET_SIZE(chunk.get());
        fits = int64_t(body.size()) + n <= length;
        if (fits) body.append(PyBytes_AS_STRING(chunk.get()), size_t(n));
        return fits;  // more than asked for: stop reading at once
    });
    if (!fits || int64_t(body.size()) != length) return std::nullopt;
    if (tail) size_ = range->total;
    return body;
}

bool RangeFile::take_tail(const Object& response, int64_t length, Pace& pace) {
    auto body = usable_body(response, -length, 0, pace);
    if (!body) return false;
    int64_t begin = size_ - int64_t(body->size());
    kept_ += int64_t(body->size());
    spans_.emplace(begin, std::move(*body));
    return true;
}

void RangeFile::fetch(int64_t begin, int64_t end) {
    stop_if_cancelled();
    if (kept_ + (end - begin) > limits::kRangesHeld) {
        PyErr_Format(PyExc_ValueError, "%S: reading it would hold more than %lld bytes of it in memory", url_.get(),
                     static_cast<long long>(limits::kRangesHeld));
        throw_error();
    }
    std::string range = "bytes=" + std::to_string(begin) + "-" + std::to_string(end - 1);
    Object headers = session_.headers_with({{"Range", range.c_str()}, {"Accept-Encoding", "identity"}});
    Pace pace = Pace::total(session_.timeout);
    auto body = with_stream(session_, url_, headers, pace, [&](const Object& response) {
        long status = stream_status(response);
        if (status != 200 && status != 206 && status != 416) response.call_method("raise_for_status"_id);
        return usable_body(response, begin, end, pace);
    });
    if (!body) {
        refused_ = true;
        refuse(url_);
    }
    kept_ += int64_t(body->size());
    spans_.emplace(begin, std::move(*body));
}

void RangeFile::will_read(uint64_t begin, uint64_t end) {
    // One request for each gap between the spans already kept.
    int64_t at = int64_t(std::min(begin, uint64_t(size_)));
    int64_t stop = int64_t(std::min(end, uint64_t(size_)));
    while (at < stop) {
        auto next = spans_.upper_bound(at);
        if (next != spans_.begin()) {
            auto held = std::prev(next);
            int64_t held_end = held->first + int64_t(held->second.size());
            if (held_end > at) {
                at = held_end;
                continue;
            }
        }
        int64_t gap_end = next == spans_.end() ? stop : std::min(stop, next->first);
        fetch(at, gap_end);
        at = gap_end;
    }
}

Object RangeFile::read(uint64_t offset, uint64_t length) {
    uint64_t size = uint64_t(size_);
    uint64_t begin = std::min(offset, size);
    uint64_t end = begin + std::min(length, size - begin);
    will_read(begin, end);
    Object bytes = Object::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(end - begin)));
    char* out = PyBytes_AS_STRING(bytes.get());
    for (int64_t at = int64_t(begin); at < int64_t(end);) {
        auto held = spans_.upper_bound(at);
        if (held == spans_.begin()) raise(PyExc_SystemError, "range cache misses a fetched range");
        --held;
        int64_t held_end = held->first + int64_t(held->second.size());
        if (held_end <= at) raise(PyExc_SystemError, "range cache misses a fetched range");
        int64_t n = std::min(held_end, int64_t(end)) - at;
        std::memcpy(out, held->second.data() + (at - held->first), size_t(n));
        out += n;
        at += n;
    }
    return bytes;
}

}  // namespace pic::finder
