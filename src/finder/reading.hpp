// Reading a file whose bytes are handed in from outside: the archive reader
// (zip_archive.hpp) is written as a chain of steps that read at offsets, and
// a step whose bytes are not there yet suspends; whoever feeds the file sees
// what is missing (Held::pending), brings it, and resumes the step. No step
// does I/O: the same steps serve a blocking driver and an event loop's.
//
// `Step<T>` is a C++20 coroutine giving a T: awaiting one step from another
// runs it and resumes the awaiting step with its value (or its exception);
// awaiting `Held::read` suspends the whole chain until the bytes are held.
// The frames hold no reference a cycle could pass through (bytes,
// decompressors): they need no collector's view.
#pragma once

#include <coroutine>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "runtime/ref.hpp"

namespace pic::finder {

template <class T>
class [[nodiscard]] Step {
public:
    struct promise_type {
        std::optional<T> value;
        std::exception_ptr error;
        std::coroutine_handle<> continuation;  // the step awaiting this one

        Step get_return_object() { return Step(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Finished {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
                auto next = done.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Finished final_suspend() noexcept { return {}; }
        template <class U>
        void return_value(U&& v) {
            value.emplace(std::forward<U>(v));
        }
        void unhandled_exception() noexcept { error = std::current_exception(); }
    };

    Step(Step&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Step& operator=(Step&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;
    ~Step() { reset(); }

    // Awaited from another step.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return take(); }

    // For the outermost step, driven by hand: started (resumed) from outside.
    std::coroutine_handle<> handle() const noexcept { return handle_; }
    bool done() const noexcept { return handle_.done(); }
    T take() {
        auto& promise = handle_.promise();
        if (promise.error) std::rethrow_exception(std::exchange(promise.error, {}));
        return std::move(*promise.value);
    }

private:
    explicit Step(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    void reset() noexcept {
        if (handle_) handle_.destroy();
        handle_ = {};
    }
    std::coroutine_handle<promise_type> handle_;
};

// What is held of the file being read, and what the reading waits for.
// Two ways of holding: `ranges` keeps every span it was given, since each was
// asked of a server at a cost (the range road; what it holds is bounded by
// the reader); otherwise only the last span given is kept (a local copy,
// read again at no cost), so memory stays at one read's size.
class Held {
public:
    explicit Held(bool ranges) : ranges_(ranges) {}

    uint64_t size() const { return size_; }
    void set_size(uint64_t size) { size_ = size; }
    bool ranges() const { return ranges_; }
    int64_t kept() const { return kept_; }

    // The bytes [offset, offset + length) as a bytes object, fewer only where
    // the file ends: awaited, it suspends until they are held.
    struct Read;
    Read read(uint64_t offset, uint64_t length);
    // [begin, end) is about to be read in pieces: the range road has all of it
    // brought first (one request per gap); a local copy needs nothing.
    Read will_read(uint64_t begin, uint64_t end);

    // What the suspended step waits for.
    struct Need {
        uint64_t begin = 0, end = 0;
        std::coroutine_handle<> waiting;
    };
    std::optional<Need> pending;

    // What to bring for `pending`, as [begin, end): the first part of it not
    // held (a local copy: all of it); nullopt when all of it is held.
    std::optional<std::pair<uint64_t, uint64_t>> missing() const;
    // The bytes of [begin, begin + size) arrived.
    void add(uint64_t begin, std::string bytes);

private:
    bool holds(uint64_t begin, uint64_t end) const { return !gap(begin, end); }
    std::optional<std::pair<uint64_t, uint64_t>> gap(uint64_t begin, uint64_t end) const;
    Object bytes(uint64_t begin, uint64_t end) const;

    bool ranges_;
    uint64_t size_ = 0;
    int64_t kept_ = 0;
    std::map<uint64_t, std::string> spans_;  // begin -> bytes; disjoint
};

struct Held::Read {
    Held& held;
    uint64_t begin, end;
    bool make;  // a read gives the bytes; will_read gives an empty bytes object

    bool await_ready() const { return held.holds(begin, end); }
    void await_suspend(std::coroutine_handle<> waiting) { held.pending = Need{begin, end, waiting}; }
    Object await_resume() const {
        return make ? held.bytes(begin, end) : Object::steal(PyBytes_FromStringAndSize(nullptr, 0));
    }
};

inline Held::Read Held::read(uint64_t offset, uint64_t length) {
    uint64_t begin = std::min(offset, size_);
    return Read{*this, begin, begin + std::min(length, size_ - begin), true};
}

inline Held::Read Held::will_read(uint64_t begin, uint64_t end) {
    if (!ranges_) return Read{*this, 0, 0, false};
    uint64_t from = std::min(begin, size_);
    return Read{*this, from, std::max(from, std::min(end, size_)), false};
}

}  // namespace pic::finder
