#include "finder/wheel_metadata.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "finder/cancellation.hpp"
#include "finder/finder.hpp"
#include "finder/range_file.hpp"

namespace pic::finder {

namespace {

// The first request asks for this much of the end: the end records and, for
// all but very large wheels, the whole central directory.
constexpr int64_t kTail = 64 * 1024;
// A local header is 30 bytes, the name and an extra field that may differ
// from the directory's copy; this much more is fetched to cover the latter.
constexpr int64_t kLocalHeaderSlack = 1024;

void close_quietly(const Object& closable) {
    try {
        closable.call_method("close"_id);
    } catch (const PyError& e) {
        if (!e.is_ordinary()) throw;  // the first failure is the one to report
    }
}

int64_t as_int64(const Object& number) {
    long long value = PyLong_AsLongLong(number.get());
    if (value == -1 && PyErr_Occurred()) throw_error();
    return value;
}

// The ZipInfo of the one top-level "<name>.dist-info/METADATA" member.
Object metadata_member(const Object& archive, const Object& link) {
    Object member;
    int found = 0;
    for (Object info : iterate(archive.call_method("infolist"_id))) {
        Object name = info.attr("filename"_id);
        Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
        bool is_metadata = check(int(PyUnicode_Tailmatch(name.get(), ".dist-info/METADATA"_id, 0, length, 1))) &&
                           PyUnicode_Count(name.get(), "/"_id, 0, length) == 1;
        if (is_metadata && found++ == 0) member = info;
    }
    if (found != 1) {
        PyErr_Format(PyExc_ValueError, "%s .dist-info/METADATA in wheel %S", found ? "more than one" : "no",
                     link.attr("filename"_id).get());
        throw_error();
    }
    return member;
}

// Fetches the member's bytes in one request: from its local header to the
// next member (or the directory), but no further than the header and the
// compressed data can reach, so a large member after it is not fetched.
void prefetch_member(RangeFile& ranges, const Object& archive, const Object& member) {
    int64_t begin = as_int64(member.attr("header_offset"_id));
    int64_t end = as_int64(archive.attr("start_dir"_id));
    for (Object info : iterate(archive.call_method("infolist"_id))) {
        int64_t offset = as_int64(info.attr("header_offset"_id));
        if (offset > begin && offset < end) end = offset;
    }
    Py_ssize_t name_size = 0;
    if (!PyUnicode_AsUTF8AndSize(member.attr("filename"_id).get(), &name_size)) throw_error();
    int64_t reach = begin + 30 + name_size + member.attr("extra"_id).size() +
                    as_int64(member.attr("compress_size"_id)) + kLocalHeaderSlack;
    ranges.prefetch(begin, std::min(end, reach));
}

// METADATA of the wheel that `file` holds; `ranges` when it is a range file.
Object read_member(const Object& file, const Object& link, RangeFile* ranges) {
    Object archive = import_module("zipfile").attr("ZipFile"_id)(file);
    try {
        Object member = metadata_member(archive, link);
        if (ranges) prefetch_member(*ranges, archive, member);
        Object content = archive.call_method("read"_id, member);
        archive.call_method("close"_id);
        return content;
    } catch (...) {
        close_quietly(archive);
        throw;
    }
}

// Streams the body of `response` (the whole wheel) into a temporary file,
// checks the link's hash, and reads METADATA from the file. The file is
// closed, and so gone, on every way out; it has no name to leave behind.
Object from_download(const Object& response, const Object& link, const Object& url) {
    Digests digests(link_hashes(link), url);
    static PyObject* const prefix = intern("pkgindex-");
    static PyObject* const suffix = intern(".whl");
    Object temp =
        call_kw(import_module("tempfile").attr("TemporaryFile"_id), {}, {{"prefix"_id, prefix}, {"suffix"_id, suffix}});
    try {
        for (Object chunk : iterate(response.call_method("iter_bytes"_id))) {
            stop_if_cancelled();
            temp.call_method("write"_id, chunk);
            digests.update(chunk);
        }
        digests.verify();
        temp.call_method("seek"_id, integer(0));
        Object content = read_member(temp, link, nullptr);
        temp.call_method("close"_id);
        return content;
    } catch (...) {
        close_quietly(temp);
        throw;
    }
}

Object download(const Session& session, const Object& url, const Object& link) {
    Object headers = session.headers_with({{"Accept-Encoding", "identity"}});
    return with_stream(session, url, headers, [&](const Object& response) {
        expect_status(response, 200);
        return from_download(response, link, url);
    });
}

}  // namespace

Object wheel_core_metadata(const Session& session, const Object& link) {
    stop_if_cancelled();
    Object url = link.attr("url_without_fragment"_id);
    Object file = RangeFile::create(session, url);
    RangeFile& ranges = RangeFile::of(file);
    static const std::string tail = "bytes=-" + std::to_string(kTail);
    Object headers = session.headers_with({{"Range", tail.c_str()}, {"Accept-Encoding", "identity"}});

    // The answer to the first request decides the road.
    enum class Road { ranges, downloaded, download };
    Object content;
    Road road = with_stream(session, url, headers, [&](const Object& response) {
        long status = status_of(response);
        if (status != 200 && status != 206 && status != 416) response.call_method("raise_for_status"_id);
        if (ranges.take_tail(response, kTail)) return Road::ranges;
        if (status != 200) return Road::download;
        // The whole wheel is on its way: take it, into a file.
        content = from_download(response, link, url);
        return Road::downloaded;
    });
    if (road == Road::downloaded) return content;
    if (road == Road::ranges) {
        try {
            return read_member(file, link, &ranges);
        } catch (const PyError& e) {
            // A broken archive stays broken when downloaded whole: only a
            // server that stopped answering ranges sends us down the other road.
            if (!ranges.refused() || !e.is_ordinary()) throw;
        }
    }
    return download(session, url, link);
}

}  // namespace pic::finder
