#include "finder/wheel_metadata.hpp"

#include <cstdint>
#include <string>

#include "finder/cancellation.hpp"
#include "finder/finder.hpp"
#include "finder/limits.hpp"
#include "finder/metadata_reader.hpp"
#include "finder/range_file.hpp"
#include "finder/zip_archive.hpp"
#include "runtime/guard.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

// The first request asks for this much of the end: the end records and, for
// all but very large wheels, the whole central directory.
constexpr int64_t kTail = 64 * 1024;

// The first failure is the one to report.
void close_quietly(const Object& closable) {
    guarded([&] { closable.call_method("close"_id); }, [](const PyError&) {});
}

// The downloaded wheel, in its temporary file.
class DownloadedFile final : public ArchiveFile {
public:
    DownloadedFile(const Object& file, uint64_t size) : file_(file), size_(size) {}
    uint64_t size() const override { return size_; }
    Object read(uint64_t offset, uint64_t length) override {
        file_.call_method("seek"_id, Object::steal(PyLong_FromUnsignedLongLong(offset)));
        return file_.call_method("read"_id, Object::steal(PyLong_FromUnsignedLongLong(length)));
    }

private:
    const Object& file_;
    uint64_t size_;
};

Object metadata_of(ArchiveFile& file, const Object& link) {
    MetadataReader reader(link.attr("filename"_id));
    read_metadata_member(file, link, [&](const Object& piece) { reader.feed(piece); });
    return reader.message();
}

[[noreturn]] void too_large(const Object& url, const char* what) {
    PyErr_Format(PyExc_ValueError, "%S %s more than the %lld GiB a wheel may have", url.get(), what,
                 static_cast<long long>(limits::kWheel >> 30));
    throw_error();
}

// Streams the body of `response` (the whole wheel) into a temporary file,
// checks the link's hash, and reads METADATA from the file. The file is
// closed, and so gone, on every way out; it has no name to leave behind.
Object from_download(const Session& session, const Object& response, const Object& link, const Object& url) {
    int64_t announced = content_length(response);
    if (announced > limits::kWheel) too_large(url, "announces");
    Digests digests(link_hashes(link), url);
    Object temp = import_module("tempfile").call_method("TemporaryFile"_id, "prefix"_kw = "pkgindex-"_id,
                                                        "suffix"_kw = ".whl"_id);
    try {
        Pace pace = Pace::progress(limits::kLeastProgress, session.timeout);
        Body body(response, url);
        int64_t written = 0;
        body.each(pace, [&](const Object& piece) {
            written += PyBytes_GET_SIZE(piece.get());
            if (written > limits::kWheel) too_large(url, "sends");
            if (announced != -1 && body.received() > announced) {
                PyErr_Format(PyExc_ValueError, "%S sends more than the %lld bytes it announced", url.get(),
                             static_cast<long long>(announced));
                throw_error();
            }
            temp.call_method("write"_id, piece);
            digests.update(piece);
            return true;
        });
        digests.verify();
        DownloadedFile file(temp, uint64_t(written));
        Object metadata = metadata_of(file, link);
        temp.call_method("close"_id);
        return metadata;
    } catch (...) {
        close_quietly(temp);
        throw;
    }
}

Object download(const Session& session, const Object& url, const Object& link) {
    Object headers = session.headers_with({{"Accept-Encoding", "identity"}});
    Pace pace = Pace::total(session.timeout);  // until the answer comes; then the download's own pace
    return with_stream(session, url, headers, pace, [&](const Object& response) {
        expect_status(response, 200);
        return from_download(session, response, link, url);
    });
}

}  // namespace

Object wheel_core_metadata(const Session& session, const Object& link) {
    stop_if_cancelled();
    Object url = link.attr("url_without_fragment"_id);
    RangeFile ranges(session, url);
    static const std::string tail = "bytes=-" + std::to_string(kTail);
    Object headers = session.headers_with({{"Range", tail.c_str()}, {"Accept-Encoding", "identity"}});

    // The answer to the first request decides the road.
    enum class Road { ranges, downloaded, download };
    Object metadata;
    Pace pace = Pace::total(session.timeout);
    Road road = with_stream(session, url, headers, pace, [&](const Object& response) {
        long status = stream_status(response);
        if (status != 200 && status != 206 && status != 416) response.call_method("raise_for_status"_id);
        if (ranges.take_tail(response, kTail, pace)) return Road::ranges;
        if (status != 200) return Road::download;
        // The whole wheel is on its way: take it, into a file.
        metadata = from_download(session, response, link, url);
        return Road::downloaded;
    });
    if (road == Road::downloaded) return metadata;
    if (road == Road::ranges) {
        try {
            return metadata_of(ranges, link);
        } catch (const PyError& e) {
            // A broken archive stays broken when downloaded whole: only a
            // server that stopped answering ranges sends us down the other road.
            if (!ranges.refused() || !e.is_ordinary()) throw;
        }
    }
    return download(session, url, link);
}

}  // namespace pic::finder
