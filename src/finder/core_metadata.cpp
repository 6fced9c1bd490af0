#include "finder/core_metadata.hpp"

#include "finder/fetch.hpp"
#include "finder/finder.hpp"
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
    Object headers = session.headers_with({});
    Object response = call_kw(session.session.attr("get"_id), {url.get()}, {{"headers"_id, headers.get()}});
    expect_status(response, 200);
    Object content = response.attr("content"_id);
    digests.update(content);
    digests.verify();
    return content;
}

}  // namespace

Object read_core_metadata(const Object& finder, const Object& link) {
    if (Object get_metadata = optional_attr(finder, "get_metadata"_id)) return get_metadata(link);

    Session session(finder);
    Object content;
    Object metadata_link = link.attr("dist_info_link"_id);
    if (metadata_link.truthy())
        content = metadata_file(session, link, metadata_link);
    else if (link.attr("is_wheel"_id).truthy())
        content = wheel_core_metadata(session, link);
    else
        return Object::none();

    // Core metadata is UTF-8 text in RFC 822 form; a stray byte (old files carry
    // Latin-1 descriptions) must not cost the requirements.
    Object text = content.call_method("decode"_id, "utf-8"_id, "replace"_id);
    Object parser = import_module("email.parser").attr("Parser"_id)();
    return parser.call_method("parsestr"_id, text);
}

}  // namespace pic::finder
