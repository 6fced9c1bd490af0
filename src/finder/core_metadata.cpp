#include "finder/core_metadata.hpp"

namespace pic::finder {

namespace {

Object import(const char* module) { return Object::steal(PyImport_ImportModule(module)); }

// getattr(obj, name, None) without the None: a null Object when it is missing.
Object optional_attr(const Object& obj, PyObject* name) {
    return obj.optional_attr(name);
}

// session.get(url), refusing error statuses; the body as bytes.
Object fetch(const Object& session, const Object& url) {
    Object response = session.call_method("get"_id, url);
    response.call_method("raise_for_status"_id);
    return response.attr("content"_id);
}

// The one top-level "<name>.dist-info/METADATA" member of a wheel, as bytes.
Object wheel_metadata(const Object& wheel, const Object& link) {
    Object buffer = import("io").attr("BytesIO"_id)(wheel);
    Object archive = import("zipfile").attr("ZipFile"_id)(buffer);
    Object member;
    int found = 0;
    for (Object name : iterate(archive.call_method("namelist"_id))) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
        bool is_metadata = check(int(PyUnicode_Tailmatch(name.get(), ".dist-info/METADATA"_id, 0, length, 1))) &&
                           PyUnicode_Count(name.get(), "/"_id, 0, length) == 1;
        if (is_metadata && found++ == 0) member = name;
    }
    if (found != 1) {
        PyErr_Format(PyExc_ValueError, "%s .dist-info/METADATA in wheel %S", found ? "more than one" : "no",
                     link.attr("filename"_id).get());
        throw_error();
    }
    Object content = archive.call_method("read"_id, member);
    archive.call_method("close"_id);
    return content;
}

}  // namespace

Object read_core_metadata(const Object& finder, const Object& link) {
    if (Object get_metadata = optional_attr(finder, "get_metadata"_id)) return get_metadata(link);

    Object session = finder.attr("session"_id);
    Object content;
    Object metadata_link = link.attr("dist_info_link"_id);
    if (metadata_link.truthy())
        content = fetch(session, metadata_link.attr("url"_id));
    else if (link.attr("is_wheel"_id).truthy())
        content = wheel_metadata(fetch(session, link.attr("url_without_fragment"_id)), link);
    else
        return Object::none();

    // Core metadata is UTF-8 text in RFC 822 form; a stray byte (old files carry
    // Latin-1 descriptions) must not cost the requirements.
    Object text = content.call_method("decode"_id, "utf-8"_id, "replace"_id);
    Object parser = import("email.parser").attr("Parser"_id)();
    return parser.call_method("parsestr"_id, text);
}


}  // namespace pic::finder
