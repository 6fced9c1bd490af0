#include "finder/wheel_reader.hpp"

#include <algorithm>

#include "finder/headers.hpp"
#include "finder/limits.hpp"
#include "finder/zip_archive.hpp"

namespace pic::finder {

namespace {

[[noreturn]] void too_large(const Object& url, const char* what) {
    PyErr_Format(PyExc_ValueError, "%S %s more than the %lld GiB a wheel may have", url.get(), what,
                 static_cast<long long>(limits::kWheel >> 30));
    throw_error();
}

// Where the one top-level METADATA's local header starts, by the directory
// entries found whole in `bytes` (a tail of the file); nullopt when none, or
// more than one, is seen. A guess: nothing is decided on it.
std::optional<int64_t> metadata_entry_in(std::string_view bytes) {
    constexpr std::string_view signature("PK\x01\x02", 4);
    constexpr size_t kEntry = 46;
    auto le = [&](size_t at, int size) {
        uint64_t value = 0;
        for (int i = size - 1; i >= 0; --i) value = value << 8 | uint8_t(bytes[at + size_t(i)]);
        return value;
    };
    std::optional<int64_t> found;
    for (size_t at = bytes.find(signature); at != std::string_view::npos; at = bytes.find(signature, at + 1)) {
        if (bytes.size() - at < kEntry) break;
        size_t name_size = le(at + 28, 2);
        if (bytes.size() - at - kEntry < name_size) continue;
        if (!is_top_level_metadata(bytes.substr(at + kEntry, name_size))) continue;
        uint64_t offset = le(at + 42, 4);
        if (found || offset == 0xFFFFFFFF) return std::nullopt;  // two, or the offset is in a zip64 field
        found = int64_t(offset);
    }
    return found;
}

}  // namespace

// A partial answer being read: what it must hold.
struct WheelReader::RangeBody {
    int64_t first = 0, length = 0, total = 0;
    std::string bytes;
    bool fits = true;
};

// A whole file being read: the wheel (into the driver's copy) or the metadata file.
struct WheelReader::WholeBody {
    int64_t announced = -1;  // Content-Length, -1 when none
    std::unique_ptr<Inflater> decoder;
    Digests digests;
    int64_t received = 0;  // as sent
    int64_t written = 0;   // decoded
};

WheelReader::WheelReader(Source source, const Object& url, const Object& name, const Object& hashes, bool whole)
    : source_(source),
      url_(url),
      name_(name),
      hashes_(hashes ? hashes : Object::none()),
      whole_(whole),
      state_(source == Source::wheel ? State::tail : State::metadata),
      metadata_(source == Source::wheel ? name : url) {
    // The announcement is checked before anything is asked for.
    if (source == Source::metadata_file) Digests(hashes_, url_);
}

WheelReader::~WheelReader() = default;

// Any failure ends the read: a reader does not go on from a state it left half-way.
template <class Work>
auto WheelReader::failing(Work work) {
    if (state_ == State::failed) raise(PyExc_RuntimeError, "this read of core metadata has failed");
    try {
        return work();
    } catch (...) {
        state_ = State::failed;
        step_.reset();
        throw;
    }
}

std::optional<WheelReader::Wanted> WheelReader::wanted() {
    return failing([&]() -> std::optional<Wanted> {
        switch (state_) {
        case State::tail:
            return asked_ = Wanted{Wanted::Kind::tail, 0, kTail};
        case State::whole:
        case State::metadata:
            return asked_ = Wanted{Wanted::Kind::whole};
        case State::ranges:
        case State::copy:
            return next_from_archive();
        case State::done:
            return std::nullopt;
        default:
            raise(PyExc_RuntimeError, "a body is being read: it must end first");
        }
    });
}

// Runs the archive reader until it waits for bytes not held, or ends.
std::optional<WheelReader::Wanted> WheelReader::next_from_archive() {
    for (;;) {
        if (step_->done()) {
            step_->take();  // its failure, if it failed
            step_.reset();
            held_.reset();
            state_ = State::done;
            return std::nullopt;
        }
        if (auto gap = held_->missing()) {
            int64_t length = int64_t(gap->second - gap->first);
            if (state_ == State::copy) return asked_ = Wanted{Wanted::Kind::copy, int64_t(gap->first), int64_t(gap->second)};
            int64_t begin = int64_t(gap->first);
            if (metadata_at_ && *metadata_at_ < begin && begin - *metadata_at_ <= kWiden) {
                length += begin - *metadata_at_;
                begin = *metadata_at_;
            }
            metadata_at_.reset();  // the first gap only: the directory's
            if (held_->kept() + length > limits::kRangesHeld) {
                PyErr_Format(PyExc_ValueError, "%S: reading it would hold more than %lld bytes of it in memory",
                             url_.get(), static_cast<long long>(limits::kRangesHeld));
                throw_error();
            }
            return asked_ = Wanted{Wanted::Kind::range, begin, int64_t(gap->second)};
        }
        std::coroutine_handle<> waiting = held_->pending->waiting;
        held_->pending.reset();
        waiting.resume();
    }
}

void WheelReader::start_archive(bool ranges, uint64_t size) {
    // Read afresh: the pieces of an attempt given up are not the file's.
    metadata_ = MetadataReader(name_);
    kept_metadata_.clear();
    metadata_at_.reset();
    held_ = std::make_unique<Held>(ranges);
    held_->set_size(size);
    step_.emplace(read_metadata_member(*held_, name_, [this](const Object& piece) { take(piece); }));
    held_->pending = Held::Need{0, 0, step_->handle()};  // nothing to wait for: it starts at the next `wanted`
    state_ = ranges ? State::ranges : State::copy;
}

void WheelReader::take(const Object& piece) {
    metadata_.feed(piece);
    if (whole_) kept_metadata_.append(PyBytes_AS_STRING(piece.get()), size_t(PyBytes_GET_SIZE(piece.get())));
}

// The range asked for, when `headers` describe a partial answer that is exactly it.
std::optional<WheelReader::RangeBody> WheelReader::usable(long status, const Object& headers) const {
    if (status != 206) return std::nullopt;
    std::string encoding = header_value(headers, "Content-Encoding");
    if (!encoding.empty() && encoding != "identity") return std::nullopt;
    auto range = parse_content_range(header_value(headers, "Content-Range"));
    if (!range) return std::nullopt;
    bool tail = asked_.kind == Wanted::Kind::tail;
    int64_t size = held_ ? int64_t(held_->size()) : -1;
    int64_t first = tail ? std::max<int64_t>(0, range->total - asked_.end) : asked_.begin;
    int64_t last = tail ? range->total - 1 : std::min(asked_.end, size) - 1;
    if (range->first != first || range->last != last || (!tail && range->total != size)) return std::nullopt;
    int64_t length = last - first + 1;
    int64_t announced = declared_length(headers);
    if (announced != -1 && announced != length) return std::nullopt;
    RangeBody body;
    body.first = first;
    body.length = length;
    body.total = range->total;
    body.bytes.reserve(size_t(length));
    return body;
}

WheelReader::Body WheelReader::respond(long status, const Object& headers, bool decoded) {
    return failing([&] {
        switch (state_) {
        case State::tail:
        case State::ranges:
            if (auto body = usable(status, headers)) {
                range_ = std::make_unique<RangeBody>(std::move(*body));
                return Body::range;
            }
            if (state_ == State::tail && status == 200) {
                start_body(headers, decoded);  // the whole wheel came: take it
                return Body::whole;
            }
            // Ranges are not (or no longer) honoured: the whole wheel, asked anew.
            step_.reset();
            held_.reset();
            state_ = State::whole;
            return Body::skip;
        case State::whole:
        case State::metadata:
            if (status != 200) {
                PyErr_Format(PyExc_ValueError, "unexpected status %ld for %S", status, url_.get());
                throw_error();
            }
            start_body(headers, decoded);
            return Body::whole;
        default:
            raise(PyExc_RuntimeError, "no answer is awaited");
        }
    });
}

void WheelReader::start_body(const Object& headers, bool decoded) {
    int64_t announced = declared_length(headers);
    if (source_ == Source::wheel && announced > limits::kWheel) too_large(url_, "announces");
    auto body = std::make_unique<WholeBody>(WholeBody{announced, nullptr, Digests(hashes_, url_)});
    if (!decoded) body->decoder = content_decoder(header_value(headers, "Content-Encoding"), url_);
    body_ = std::move(body);
    state_ = source_ == Source::wheel ? State::download : State::metadata_body;
}

bool WheelReader::feed(const Object& bytes, const Keep& keep) {
    return failing([&] {
        if (!PyBytes_Check(bytes.get())) raise(PyExc_TypeError, "the bytes of an answer must be bytes");
        const char* data = PyBytes_AS_STRING(bytes.get());
        size_t size = size_t(PyBytes_GET_SIZE(bytes.get()));
        if (range_) {
            RangeBody& body = *range_;
            body.fits = body.fits && body.bytes.size() + size <= size_t(body.length);
            if (body.fits) body.bytes.append(data, size);
            return body.fits;  // more than asked for: stop reading at once
        }
        if (body_) return feed_whole(bytes, keep);
        if (state_ == State::copy && held_->pending) {
            if (copy_.size() + size > size_t(asked_.end - asked_.begin))
                raise(PyExc_ValueError, "the copy gave more than the range asked for");
            copy_.append(data, size);
            return true;
        }
        raise(PyExc_RuntimeError, "no body is being read");
    });
}

bool WheelReader::feed_whole(const Object& bytes, const Keep& keep) {
    WholeBody& body = *body_;
    body.received += PyBytes_GET_SIZE(bytes.get());
    auto piece = [&](const Object& decoded) {
        if (source_ == Source::metadata_file) {
            // An encoded answer may decode to little: what is sent counts too.
            if (body.received > limits::kPacked) {
                PyErr_Format(PyExc_ValueError, "%S sent more than %lld bytes", url_.get(),
                             static_cast<long long>(limits::kPacked));
                throw_error();
            }
            body.digests.update(decoded);
            take(decoded);
            return true;
        }
        body.written += PyBytes_GET_SIZE(decoded.get());
        if (body.written > limits::kWheel) too_large(url_, "sends");
        if (body.announced != -1 && body.received > body.announced) {
            PyErr_Format(PyExc_ValueError, "%S sends more than the %lld bytes it announced", url_.get(),
                         static_cast<long long>(body.announced));
            throw_error();
        }
        if (keep) keep(decoded);
        body.digests.update(decoded);
        return true;
    };
    return body.decoder ? body.decoder->feed(bytes, piece) : piece(bytes);
}

void WheelReader::end() {
    failing([&] {
        if (range_) return end_range();
        if (body_) {
            body_->digests.verify();
            int64_t written = body_->written;
            body_.reset();
            if (source_ == Source::metadata_file)
                state_ = State::done;
            else
                start_archive(false, uint64_t(written));  // read from the driver's copy
            return;
        }
        if (state_ == State::copy && held_->pending) {
            if (copy_.size() != size_t(asked_.end - asked_.begin))
                raise(PyExc_ValueError, "the copy gave less than the range asked for");
            held_->add(uint64_t(asked_.begin), std::move(copy_));
            copy_.clear();
            return;
        }
        raise(PyExc_RuntimeError, "no body is being read");
    });
}

void WheelReader::end_range() {
    std::unique_ptr<RangeBody> body = std::move(range_);
    if (!body->fits || int64_t(body->bytes.size()) != body->length) {
        // Not the range asked for after all: the whole wheel, asked anew.
        step_.reset();
        held_.reset();
        state_ = State::whole;
        return;
    }
    if (state_ == State::tail) {
        start_archive(true, uint64_t(body->total));
        metadata_at_ = metadata_entry_in(body->bytes);
    }
    held_->add(uint64_t(body->first), std::move(body->bytes));
}

Object WheelReader::message() const {
    if (state_ != State::done) raise(PyExc_RuntimeError, "the read of core metadata is not complete");
    return metadata_.message();
}

Object WheelReader::requirements() const {
    Object values = message().call_method("get_all"_id, "Requires-Dist"_id);
    return values.truthy() ? Object::steal(PySequence_List(values.get())) : new_list();
}

Object WheelReader::metadata() const {
    if (state_ != State::done) raise(PyExc_RuntimeError, "the read of core metadata is not complete");
    if (!whole_) raise(PyExc_RuntimeError, "METADATA was not kept: the reader was made without `whole`");
    return Object::steal(PyBytes_FromStringAndSize(kept_metadata_.data(), Py_ssize_t(kept_metadata_.size())));
}

}  // namespace pic::finder
