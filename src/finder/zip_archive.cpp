#include "finder/zip_archive.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "finder/inflate.hpp"
#include "finder/limits.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

constexpr uint64_t kEndSize = 22;        // end of central directory record
constexpr uint64_t kLocatorSize = 20;    // zip64 end of central directory locator
constexpr uint64_t kEnd64Size = 56;      // zip64 end of central directory record
constexpr uint64_t kEntrySize = 46;      // central directory entry, before its name
constexpr uint64_t kLocalSize = 30;      // local file header, before its name
constexpr uint64_t kCommentMost = 65535;  // an archive comment
constexpr uint64_t kWindow = 1 << 20;    // the directory and the member are read in pieces of this size
// The local header's extra field may differ from the directory's copy: this
// much more is fetched with the member to cover it.
constexpr uint64_t kLocalHeaderSlack = 1024;

constexpr std::string_view kEndSignature{"PK\x05\x06", 4};
constexpr std::string_view kLocatorSignature{"PK\x06\x07", 4};
constexpr std::string_view kEnd64Signature{"PK\x06\x06", 4};
constexpr std::string_view kEntrySignature{"PK\x01\x02", 4};
constexpr std::string_view kLocalSignature{"PK\x03\x04", 4};

uint64_t le(std::string_view bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string_view view(const Object& bytes) {
    return {PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get()))};
}

[[noreturn]] void fail(PyObject* type, const Object& message) {
    PyErr_SetObject(type, message.get());
    throw_error();
}

[[noreturn]] void bad_zip(const Object& message) {
    fail(import_module("zipfile").attr("BadZipFile"_id).get(), message);
}
[[noreturn]] void bad_zip(const char* message) { bad_zip(str(message)); }

// Where the central directory lies, from the end records.
struct Directory {
    uint64_t begin;   // in the file
    uint64_t size;
    uint64_t offset;  // as the archive states it: begin - offset is the length of data before the archive
};

Step<Directory> find_directory(Held& file) {
    uint64_t size = file.size();
    if (size < kEndSize) bad_zip("File is not a zip file");
    // No comment: the end record closes the file. Otherwise it is searched for
    // in the last 64 KiB, from the back.
    uint64_t location = size - kEndSize;
    Object end = co_await file.read(location, kEndSize);
    std::string_view record = view(end);
    if (record.size() != kEndSize || record.substr(0, 4) != kEndSignature || record.substr(20) != std::string_view("\0\0", 2)) {
        uint64_t from = size > kCommentMost + kEndSize ? size - kCommentMost - kEndSize : 0;
        end = co_await file.read(from, size - from);
        std::string_view data = view(end);
        size_t start = data.rfind(kEndSignature);
        if (start == std::string_view::npos || data.size() - start < kEndSize) bad_zip("File is not a zip file");
        record = data.substr(start, kEndSize);
        location = from + start;
    }
    Directory directory{0, le(record, 12, 4), le(record, 16, 4)};
    uint64_t records = kEndSize;  // the end records after the directory, as far as they count here

    if (location >= kLocatorSize) {
        Object locator_bytes = co_await file.read(location - kLocatorSize, kLocatorSize);
        std::string_view locator = view(locator_bytes);
        if (locator.size() == kLocatorSize && locator.substr(0, 4) == kLocatorSignature) {
            if (le(locator, 4, 4) != 0 || le(locator, 16, 4) > 1)
                bad_zip("zipfiles that span multiple disks are not supported");
            if (location >= kLocatorSize + kEnd64Size) {
                Object end64_bytes = co_await file.read(location - kLocatorSize - kEnd64Size, kEnd64Size);
                std::string_view end64 = view(end64_bytes);
                if (end64.size() == kEnd64Size && end64.substr(0, 4) == kEnd64Signature) {
                    directory.size = le(end64, 40, 8);
                    directory.offset = le(end64, 48, 8);
                    records += kLocatorSize + kEnd64Size;
                }
            }
        }
    }
    // The directory ends where the end records begin.
    uint64_t end_of_directory = location + kEndSize - records;
    if (directory.size > end_of_directory) bad_zip("Bad offset for central directory");
    directory.begin = end_of_directory - directory.size;
    co_return directory;
}

// The directory read from front to back, a window of it at a time.
class Cursor {
public:
    explicit Cursor(const Directory& directory) : directory_(directory) {}

    // Awaited: the bytes [at, at + length) of the directory, fewer where it is
    // cut short; the window moves there first when they are outside it.
    struct Take {
        Cursor& cursor;
        uint64_t at, length;
        bool outside;
        Held::Read read;  // the new window, when it moves

        bool await_ready() const { return !outside || read.await_ready(); }
        void await_suspend(std::coroutine_handle<> waiting) { read.await_suspend(waiting); }
        std::string_view await_resume() {
            if (outside) {
                if (at >= cursor.directory_.size) return {};
                cursor.window_ = read.await_resume();
                cursor.window_begin_ = at;
            }
            std::string_view data = view(cursor.window_);
            size_t from = size_t(at - cursor.window_begin_);
            return data.substr(std::min(from, data.size()), size_t(length));
        }
    };

    Take take(Held& file, uint64_t at, uint64_t length) {
        bool outside = at < window_begin_ || at + length > window_begin_ + view(window_).size();
        bool moves = outside && at < directory_.size;
        uint64_t wanted = moves ? std::min(std::max(length, kWindow), directory_.size - at) : 0;
        return Take{*this, at, length, outside, file.read(directory_.begin + (moves ? at : 0), wanted)};
    }

private:
    const Directory& directory_;
    Object window_ = Object::steal(PyBytes_FromStringAndSize(nullptr, 0));
    uint64_t window_begin_ = 0;
};

// A member as the directory describes it.
struct Member {
    std::string name;  // as stored (zipfile compares it with the local header's)
    std::string extra;
    uint64_t flags = 0, method = 0, crc = 0, packed = 0, size = 0, offset = 0;
};

// The zip64 extra field gives the sizes and the offset that do not fit the entry.
void read_zip64_extra(Member& member) {
    std::string_view extra = member.extra;
    while (extra.size() >= 4) {
        uint64_t kind = le(extra, 0, 2), length = le(extra, 2, 2);
        if (length + 4 > extra.size()) {
            char text[64];
            std::snprintf(text, sizeof text, "Corrupt extra field %04x (size=%d)", unsigned(kind), int(length));
            bad_zip(text);
        }
        if (kind == 1) {
            std::string_view data = extra.substr(4, size_t(length));
            auto next = [&](uint64_t& field, const char* what) {
                if (data.size() < 8) bad_zip(format("Corrupt zip64 extra field. %s not found.", what));
                field = le(data, 0, 8);
                data.remove_prefix(8);
            };
            if (member.size == 0xFFFFFFFFFFFFFFFF || member.size == 0xFFFFFFFF) next(member.size, "File size");
            if (member.packed == 0xFFFFFFFF) next(member.packed, "Compress size");
            if (member.offset == 0xFFFFFFFF) next(member.offset, "Header offset");
        }
        extra.remove_prefix(size_t(length + 4));
    }
}

Step<Member> find_metadata(Held& file, const Directory& directory, const Object& name) {
    if (directory.size > uint64_t(limits::kDirectory)) {
        PyErr_Format(PyExc_ValueError, "%S: central directory of %llu bytes, larger than %lld MiB", name.get(),
                     static_cast<unsigned long long>(directory.size), static_cast<long long>(limits::kDirectory >> 20));
        throw_error();
    }
    co_await file.will_read(directory.begin, directory.begin + directory.size);
    Cursor cursor(directory);
    Member found;
    int count = 0;
    for (uint64_t at = 0; at < directory.size;) {
        std::string_view entry = co_await cursor.take(file, at, kEntrySize);
        if (entry.size() != kEntrySize) bad_zip("Truncated central directory");
        if (entry.substr(0, 4) != kEntrySignature) bad_zip("Bad magic number for central directory");
        uint64_t version = le(entry, 6, 1);
        if (version > 63) fail(PyExc_NotImplementedError, format("zip file version %d.%d", int(version / 10), int(version % 10)));
        uint64_t name_size = le(entry, 28, 2), extra_size = le(entry, 30, 2), comment_size = le(entry, 32, 2);
        Member member;
        member.flags = le(entry, 8, 2);
        member.method = le(entry, 10, 2);
        member.crc = le(entry, 16, 4);
        member.packed = le(entry, 20, 4);
        member.size = le(entry, 24, 4);
        member.offset = le(entry, 42, 4);
        std::string_view stored_name = co_await cursor.take(file, at + kEntrySize, name_size);
        if (stored_name.size() != name_size) bad_zip("Truncated central directory");
        if (is_top_level_metadata(stored_name) && count++ == 0) {
            member.name = stored_name;
            member.extra = co_await cursor.take(file, at + kEntrySize + name_size, extra_size);
            found = std::move(member);
        }
        at += kEntrySize + name_size + extra_size + comment_size;
    }
    if (count != 1) {
        PyErr_Format(PyExc_ValueError, "%s .dist-info/METADATA in wheel %S", count ? "more than one" : "no",
                     name.get());
        throw_error();
    }
    read_zip64_extra(found);
    // Offsets count from the start of the archive, which may follow other data.
    if (found.offset > UINT64_MAX - directory.begin || found.offset + directory.begin < directory.offset)
        bad_zip("Bad offset for local file header");
    found.offset = found.offset + directory.begin - directory.offset;
    co_return found;
}

Object decoded_name(const Member& member) {
    const char* encoding = member.flags & 0x800 ? "utf-8" : "cp437";
    return Object::steal(PyUnicode_Decode(member.name.data(), Py_ssize_t(member.name.size()), encoding, "replace"));
}

Inflater::Method method_of(const Member& member) {
    switch (member.method) {
    case 0: return Inflater::Method::stored;
    case 8: return Inflater::Method::deflate;
    case 12: return Inflater::Method::bzip2;
    case 14: return Inflater::Method::lzma;
    }
    fail(PyExc_NotImplementedError, str("That compression method is not supported"));
}

}  // namespace

bool is_top_level_metadata(std::string_view name) {
    name = name.substr(0, name.find('\0'));
    constexpr std::string_view suffix = ".dist-info/METADATA";
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix &&
           std::count(name.begin(), name.end(), '/') == 1;
}

Step<bool> read_metadata_member(Held& file, const Object& name, std::function<void(const Object&)> out) {
    Directory directory = co_await find_directory(file);
    Member member = co_await find_metadata(file, directory, name);
    if (member.size > uint64_t(limits::kMetadata) || member.packed > uint64_t(limits::kPacked)) {
        PyErr_Format(PyExc_ValueError, "%S: METADATA of %llu bytes (%llu compressed), larger than %lld MiB",
                     name.get(), static_cast<unsigned long long>(member.size),
                     static_cast<unsigned long long>(member.packed), static_cast<long long>(limits::kMetadata >> 20));
        throw_error();
    }
    // Every term is bounded now: the offset by the file, the rest by 16 bits or the limits.
    uint64_t size = file.size();
    if (member.offset >= size || size - member.offset < kLocalSize) bad_zip("Truncated file header");
    co_await file.will_read(member.offset, std::min(size, member.offset + kLocalSize + member.name.size() +
                                                              member.extra.size() + member.packed + kLocalHeaderSlack));
    Object local_bytes = co_await file.read(member.offset, kLocalSize);
    std::string_view local = view(local_bytes);
    if (local.size() != kLocalSize) bad_zip("Truncated file header");
    if (local.substr(0, 4) != kLocalSignature) bad_zip("Bad magic number for file header");
    if (member.flags & 0x20) fail(PyExc_NotImplementedError, str("compressed patched data (flag bit 5)"));
    if (member.flags & 0x40) fail(PyExc_NotImplementedError, str("strong encryption (flag bit 6)"));
    uint64_t name_size = le(local, 26, 2), extra_size = le(local, 28, 2);
    Object local_name = co_await file.read(member.offset + kLocalSize, name_size);
    if (view(local_name) != member.name)
        bad_zip(format("File name in directory %R and header %R differ.", decoded_name(member).get(), local_name.get()));
    if (member.flags & 0x1)
        fail(PyExc_RuntimeError,
             format("File %R is encrypted, password required for extraction", decoded_name(member).get()));

    Inflater inflater(method_of(member));
    Object crc32 = import_module("zlib").attr("crc32"_id);
    Object crc = integer(0);
    uint64_t made = 0;
    auto take = [&](const Object& piece) {
        uint64_t room = member.size - made;
        Object kept = uint64_t(PyBytes_GET_SIZE(piece.get())) <= room
                          ? piece
                          : Object::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(piece.get()), Py_ssize_t(room)));
        made += uint64_t(PyBytes_GET_SIZE(kept.get()));
        crc = crc32(kept, crc);
        out(kept);
        return made < member.size;  // zipfile reads no further than the size the directory gives
    };
    uint64_t begin = member.offset + kLocalSize + name_size + extra_size;
    uint64_t end = std::min(size, begin + member.packed);
    for (uint64_t at = begin; at < end && made < member.size;) {
        Object chunk = co_await file.read(at, std::min(kWindow, end - at));
        if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
        at += uint64_t(PyBytes_GET_SIZE(chunk.get()));
        if (!inflater.feed(chunk, take) || inflater.ended()) break;
    }
    if (PyLong_AsUnsignedLongLong(crc.get()) != member.crc) {
        if (PyErr_Occurred()) throw_error();
        bad_zip(format("Bad CRC-32 for file %R", decoded_name(member).get()));
    }
    co_return true;
}

}  // namespace pic::finder
