#include "pages/records.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "config/redact.hpp"
#include "pages/page.hpp"
#include "pages/text.hpp"
#include "pages/timestamp.hpp"
#include "pages/url.hpp"
#include "runtime/boundary.hpp"

namespace pic::pages {

namespace {

PyStructSequence_Field file_fields[] = {
    {"filename", "the file's name"},
    {"url", "where to download it: absolute, without its fragment"},
    {"version", "the version its filename names for this project (a wheel's or an sdist's), or None"},
    {"hashes", "{hash name: hex digest}, from the page or the URL's fragment"},
    {"requires_python", "the Requires-Python it declares, or None"},
    {"core_metadata", "its core metadata file (URL + '.metadata'): False, True, or {hash name: hex digest}"},
    {"yanked", "whether it is yanked (PEP 592)"},
    {"yanked_reason", "why, when the index says; else None"},
    {"size", "its size in bytes, or None"},
    {"upload_time", "when it was uploaded: an aware datetime, or None"},
    {"provenance", "the URL of its provenance (PEP 740), or None"},
    {"gpg_sig", "whether a signature is served beside it, or None when the page does not say"},
    {nullptr, nullptr},
};

PyStructSequence_Field page_fields[] = {
    {"name", "the project's name as the page gives it, else its normalised name"},
    {"index_url", "the index the page came from, or None"},
    {"page_url", "the URL the page was read from"},
    {"format", "'json' or 'html'"},
    {"api_version", "the page's API version ('1.1'), or None when it names none"},
    {"versions", "the versions, as the page lists them (PEP 700), else from its files' names, first seen first"},
    {"files", "the files, in the page's order (ProjectFile)"},
    {"status", "the project's status (PEP 792): 'active' when the page names none"},
    {"status_reason", "why, when the index says; else None"},
    {"active", "whether the status is 'active' (an unknown status is not)"},
    {"tracks", "the projects of other indexes this one tracks (PEP 708)"},
    {"alternate_locations", "other pages of the same project (PEP 708)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc file_desc = {"quorvel_master.indexdata.pages.ProjectFile",
                                   "One file of a project page.", file_fields, 12};
PyStructSequence_Desc page_desc = {"quorvel_master.indexdata.pages.ProjectPage",
                                   "A project's page at one index, read as data.", page_fields, 12};

PyTypeObject* file_type = nullptr;
PyTypeObject* page_type = nullptr;
reprfunc tuple_repr = nullptr;  // the struct sequences' own repr

PyObject* masked_repr(PyObject* self, PyObject*) {
    return at_boundary([&] { return config::redact_text(Object::steal(tuple_repr(self))).release(); },
                       static_cast<PyObject*>(nullptr));
}

PyMethodDef repr_def = {"__repr__", masked_repr, METH_NOARGS, "Return repr(self), credentials in URLs masked."};

PyTypeObject* make_type(PyStructSequence_Desc* desc) {
    auto* type = reinterpret_cast<PyTypeObject*>(check(reinterpret_cast<PyObject*>(PyStructSequence_NewType(desc))));
    Object owned = Object::steal(reinterpret_cast<PyObject*>(type));
    tuple_repr = type->tp_repr;
    Object repr = Object::steal(PyDescr_NewMethod(type, &repr_def));
    check(PyObject_SetAttrString(owned.get(), "__repr__", repr.get()));
    return reinterpret_cast<PyTypeObject*>(owned.release());
}

bool is_ascii(std::string_view s) {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ULL) return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) & 0x80) return false;
    return true;
}

// Most texts of a page are ASCII: copied as they are, without a decoder.
Object text(std::string_view s) {
    if (!is_ascii(s)) return Object::steal(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace"));
    Object made = Object::steal(PyUnicode_New(Py_ssize_t(s.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(made.get()), s.data(), s.size());
    return made;
}
Object text_or_none(const std::optional<Text>& s) { return s ? text(*s) : Object::none(); }

// Values many files share (hash names, versions, Requires-Python texts, yank
// reasons) made once per page. One per field: the last value asked is
// looked at first, since neighbouring files mostly repeat it.
class Texts {
public:
    const Object& operator()(Text s) {
        if (last_ && s == last_->first) return last_->second;
        auto it = made_.find(s);
        if (it == made_.end()) it = made_.emplace(std::string(s), text(s)).first;
        last_ = &*it;
        return it->second;
    }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    std::unordered_map<std::string, Object, Hash, std::equal_to<>> made_;  // nodes never move
    const std::pair<const std::string, Object>* last_ = nullptr;
};

struct Shared {
    Texts hash_names, versions, requires_python, reasons;
};

Object hashes(const Hashes& hashes, Texts& names) {
    Object d = new_dict();
    for (std::size_t i = 0; i < hashes.size(); ++i) d.set_item(names(hashes[i].first), text(hashes[i].second));
    return d;
}

class Times {
public:
    Times() {
        if (!PyDateTimeAPI) PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw_error();
    }
    Object operator()(const std::optional<Timestamp>& t) {
        if (!t) return Object::none();
        return Object::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
            t->year, t->month, t->day, t->hour, t->minute, t->second, t->microsecond, zone(t->offset_minutes).get(),
            PyDateTimeAPI->DateTimeType));
    }

private:
    const Object& zone(int offset_minutes) {
        auto [it, fresh] = zones_.try_emplace(offset_minutes);
        if (fresh) {
            if (offset_minutes == 0) {
                it->second = Object::borrow(PyDateTime_TimeZone_UTC);
            } else {
                Object delta = Object::steal(PyDelta_FromDSU(0, offset_minutes * 60, 0));
                it->second = Object::steal(PyTimeZone_FromOffset(delta.get()));
            }
        }
        return it->second;
    }
    std::map<int, Object> zones_;
};

Object strings(const std::vector<Text>& items) {
    Object t = Object::steal(PyTuple_New(Py_ssize_t(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), text(items[i]).release());
    return t;
}

Object core_metadata(const CoreMetadata& m, Texts& names) {
    if (!m.present) return boolean(false);
    if (m.hashes.empty()) return boolean(true);
    return hashes(m.hashes, names);
}

Object file_record(const File& f, Shared& shared, Times& times) {
    Object r = Object::steal(PyStructSequence_New(file_type));
    Object items[] = {
        text(f.filename),
        text(f.url),
        (f.version ? shared.versions(*f.version) : Object::none()),
        hashes(f.hashes, shared.hash_names),
        (f.requires_python ? shared.requires_python(*f.requires_python) : Object::none()),
        core_metadata(f.core_metadata, shared.hash_names),
        boolean(f.yanked),
        (f.yanked_reason ? shared.reasons(*f.yanked_reason) : Object::none()),
        (f.size ? Object::steal(PyLong_FromLongLong(*f.size)) : Object::none()),
        times(f.upload_time),
        text_or_none(f.provenance),
        (f.gpg_sig ? boolean(*f.gpg_sig) : Object::none()),
    };
    for (Py_ssize_t i = 0; i < Py_ssize_t(std::size(items)); ++i) PyStructSequence_SET_ITEM(r.get(), i, items[i].release());
    return r;
}

std::string_view utf8(const Object& s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (!data) throw_error();
    return {data, std::size_t(size)};
}

// The records of the files, made as the parse reads them.
class Records final : public FileSink {
public:
    void file(const File& f) override { append(files_, file_record(f, shared_, times_)); }
    void restart() override { check(PyList_SetSlice(files_.get(), 0, PY_SSIZE_T_MAX, nullptr)); }
    Object files() const { return Object::steal(PyList_AsTuple(files_.get())); }

private:
    Object files_ = new_list();
    Shared shared_;
    Times times_;
};

Object page_record(const Page& page, const Records& records, const Object& page_url, const Object& project,
                   const Object& index_url) {
    Text status = page.status.value_or("active");
    Object name = page.name ? text(*page.name) : text(normalize_name(utf8(project)));
    Object r = Object::steal(PyStructSequence_New(page_type));
    Object items[] = {
        name,
        index_url,
        page_url,
        str(page.format == Format::json ? "json" : "html"),
        text_or_none(page.api_version),
        strings(page.versions.list()),
        records.files(),
        text(status),
        text_or_none(page.status_reason),
        boolean(status == "active"),
        strings(page.tracks),
        strings(page.alternate_locations),
    };
    for (Py_ssize_t i = 0; i < Py_ssize_t(std::size(items)); ++i) PyStructSequence_SET_ITEM(r.get(), i, items[i].release());
    return r;
}

void require_str(const Object& value, const char* what) {
    if (!PyUnicode_Check(value.get())) raise(PyExc_TypeError, what);
}

}  // namespace

void add_record_types(const Object& module) {
    if (!file_type) file_type = make_type(&file_desc);
    if (!page_type) page_type = make_type(&page_desc);
    check(PyModule_AddObjectRef(module.get(), "ProjectFile", reinterpret_cast<PyObject*>(file_type)));
    check(PyModule_AddObjectRef(module.get(), "ProjectPage", reinterpret_cast<PyObject*>(page_type)));
}

Object parse_project_page(const Object& body, const Object& page_url, const Object& project, const Object& format,
                          const Object& index_url) {
    if (!PyBytes_Check(body.get())) raise(PyExc_TypeError, "body must be bytes");
    require_str(page_url, "page_url must be a str");
    require_str(project, "project must be a str");
    require_str(format, "format must be 'json' or 'html'");
    if (!index_url.is_none()) require_str(index_url, "index_url must be a str or None");
    std::string_view kind = utf8(format);
    if (kind != "json" && kind != "html") raise(PyExc_ValueError, "format must be 'json' or 'html'");
    std::string_view data(PyBytes_AS_STRING(body.get()), std::size_t(PyBytes_GET_SIZE(body.get())));
    Records records;
    try {
        Page page = kind == "json" ? parse_json(data, utf8(page_url), utf8(project), records)
                                   : parse_html(data, utf8(page_url), utf8(project), records);
        return page_record(page, records, page_url, project, index_url);
    } catch (const Unusable& e) {
        raise(PyExc_ValueError, e.what());
    }
}

Object resolve_url(const Object& base, const Object& reference) {
    require_str(base, "base must be a str");
    require_str(reference, "reference must be a str");
    return text(resolve(utf8(base), utf8(reference)));
}

Object parse_time(const Object& text) {
    require_str(text, "text must be a str");
    Times times;
    return times(parse_rfc3339(utf8(text)));
}

Object project_page_url(const Object& index_url, const Object& project) {
    require_str(index_url, "index_url must be a str");
    require_str(project, "project must be a str");
    std::string_view index = utf8(index_url);
    while (!index.empty() && index.back() == '/') index.remove_suffix(1);
    std::string url(index);
    url.push_back('/');
    static constexpr char hex[] = "0123456789ABCDEF";
    for (char c : normalize_name(utf8(project))) {
        auto b = static_cast<unsigned char>(c);
        bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
                     b == '.' || b == '_' || b == '~';
        if (plain) {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(hex[b >> 4]);
            url.push_back(hex[b & 15]);
        }
    }
    url.push_back('/');
    return text(url);
}

}  // namespace pic::pages
