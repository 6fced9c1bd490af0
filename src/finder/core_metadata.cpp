#include "finder/core_metadata.hpp"

#include "finder/fetch.hpp"
#include "finder/finder.hpp"
#include "finder/limits.hpp"
#include "finder/metadata_reader.hpp"
#include "finder/wheel_metadata.hpp"

namespace pic::finder {

namespace {

// The metadata file announced beside a distribution file (PEP 658/714),
// checked against the hash of the announcement when it has one; announced
// as "true", it is taken as it is.
Object metadata_file(const Session& session, const Object& link, const Object& metadata_link) {
    Object url = metadata_link.attr("url"_id);
    Object announced = link.attr("dist_info_metadata"_id);
    Digests digests(PyDict_Check(announced.get()) ? announced : Object::none(), url);
    Object headers = session.headers_with({{"Accept-Encoding", "identity"}});
    MetadataReader reader(url);
    Pace pace = Pace::total(session.timeout);
    with_stream(session, url, headers, pace, [&](const Object& response) {
        expect_status(response, 200);
        Body body(response, url);
        body.each(pace, [&](const Object& piece) {
            // An encoded answer may decode to little: what is sent counts too.
            if (body.received() > limits::kPacked) {
                PyErr_Format(PyExc_ValueError, "%S sent more than %lld bytes", url.get(),
                             static_cast<long long>(limits::kPacked));
                throw_error();
            }
            digests.update(piece);
            reader.feed(piece);
            return true;
        });
        return true;
    });
    digests.verify();
    return reader.message();
}

}  // namespace

Object read_core_metadata(const Object& finder, const Object& link) {
    if (Object get_metadata = finder.optional_attr("get_metadata"_id)) return get_metadata(link);

    Session session(finder);
    Object metadata_link = link.attr("dist_info_link"_id);
    if (metadata_link.truthy()) return metadata_file(session, link, metadata_link);
    if (link.attr("is_wheel"_id).truthy()) return wheel_core_metadata(session, link);
    return Object::none();
}

}  // namespace pic::finder
