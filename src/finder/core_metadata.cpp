#include "finder/core_metadata.hpp"

#include "finder/fetch.hpp"
#include "finder/wheel_metadata.hpp"

namespace pic::finder {

namespace {

// The metadata file announced beside a distribution file (PEP 658/714),
// checked against the hash of the announcement when it has one; announced
// as "true", it is taken as it is.
Object metadata_file(const Session& session, const Object& link, const Object& metadata_link) {
    Object url = metadata_link.attr("url"_id);
    Object announced = link.attr("dist_info_metadata"_id);
    WheelReader reader(WheelReader::Source::metadata_file, url, url,
                       PyDict_Check(announced.get()) ? announced : Object::none());
    drive(session, url, reader);
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
