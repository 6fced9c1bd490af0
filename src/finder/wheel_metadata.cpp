#include "finder/wheel_metadata.hpp"

#include <string>

#include "finder/cancellation.hpp"
#include "finder/limits.hpp"
#include "runtime/guard.hpp"
#include "runtime/imports.hpp"

namespace pic::finder {

namespace {

using Wanted = WheelReader::Wanted;

// The first failure is the one to report.
void close_quietly(const Object& closable) {
    guarded([&] { closable.call_method("close"_id); }, [](const PyError&) {});
}

Object request_headers(const Session& session, const Wanted& want) {
    std::string range;
    if (want.kind == Wanted::Kind::tail) range = "bytes=-" + std::to_string(want.end);
    if (want.kind == Wanted::Kind::range)
        range = "bytes=" + std::to_string(want.begin) + "-" + std::to_string(want.end - 1);
    if (range.empty()) return session.headers_with({{"Accept-Encoding", "identity"}});
    return session.headers_with({{"Range", range.c_str()}, {"Accept-Encoding", "identity"}});
}

// One request for what the reader wants, its answer handed to the reader.
void fetch(const Session& session, const Object& url, WheelReader& reader, const Wanted& want, Object& copy) {
    Pace pace = Pace::total(session.timeout);
    with_stream(session, url, request_headers(session, want), pace, [&](const Object& response) {
        long status = stream_status(response);
        // A 416 to a range request is an answer the reader weighs.
        if (want.kind == Wanted::Kind::whole || status != 416) response.call_method("raise_for_status"_id);
        Body body(response, url, false);
        WheelReader::Body what = reader.respond(status, response.attr("headers"_id), !body.as_sent());
        if (what == WheelReader::Body::skip) return true;
        WheelReader::Keep keep;
        Pace download = Pace::progress(limits::kLeastProgress, session.timeout);
        bool into_copy = what == WheelReader::Body::whole && reader.source() == WheelReader::Source::wheel;
        if (into_copy) {
            copy = import_module("tempfile").call_method("TemporaryFile"_id, "prefix"_kw = "pkgindex-"_id,
                                                         "suffix"_kw = ".whl"_id);
            keep = [&](const Object& piece) { copy.call_method("write"_id, piece); };
        }
        body.each(into_copy ? download : pace, [&](const Object& piece) { return reader.feed(piece, keep); });
        reader.end();
        return true;
    });
}

void read_copy(WheelReader& reader, const Wanted& want, const Object& copy) {
    copy.call_method("seek"_id, Object::steal(PyLong_FromLongLong(want.begin)));
    reader.feed(copy.call_method("read"_id, Object::steal(PyLong_FromLongLong(want.end - want.begin))), {});
    reader.end();
}

}  // namespace

void drive(const Session& session, const Object& url, WheelReader& reader) {
    Object copy;
    try {
        for (;;) {
            stop_if_cancelled();
            std::optional<Wanted> want = reader.wanted();
            if (!want) break;
            if (want->kind == Wanted::Kind::copy)
                read_copy(reader, *want, copy);
            else
                fetch(session, url, reader, *want, copy);
        }
    } catch (...) {
        if (copy) close_quietly(copy);
        throw;
    }
    if (copy) copy.call_method("close"_id);
}

Object wheel_core_metadata(const Session& session, const Object& link) {
    stop_if_cancelled();
    Object url = link.attr("url_without_fragment"_id);
    WheelReader reader(WheelReader::Source::wheel, url, link.attr("filename"_id), link_hashes(link));
    drive(session, url, reader);
    return reader.message();
}

}  // namespace pic::finder
