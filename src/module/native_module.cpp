// quorvel_master._native: the package's private natives for its Python code.
// The masking of the client's log lines, for the code that writes URLs (the
// command line, the network layer): the same compiled rules as the log lines,
// so what is printed and what is logged cannot drift. And the stop flag of the
// finder call running on this thread, for code running inside it (the network
// layer's retry waits), read from the interpreter's per-thread dict where the
// client's finder calls publish themselves. And the URL rules the client
// compares index URLs by, for the Python code that keys and records by them.
// And the project page reader's parsing core (src/pages/), for
// quorvel_master.indexdata.
// And the finder road's reader of wheel metadata, for a driver on the event
// loop (wheel_reader_type.hpp).
#include "config/redact.hpp"
#include "config/url_parts.hpp"
#include "finder/cancellation.hpp"
#include "pages/page.hpp"
#include "pages/records.hpp"
#include "module/wheel_reader_type.hpp"
#include "runtime/boundary.hpp"

namespace pic {

#ifdef PIC_FRAME_AUDIT
// Checking builds audit every Object against the coroutine frames alive; this
// module runs no coroutine, so there is never a frame to hold one.
namespace frame_audit {
void created(const void*) noexcept {}
void destroyed(const void*) noexcept {}
}  // namespace frame_audit
#endif

namespace {

// One str in, one str out.
template <Object (*Rule)(const Object&)>
PyObject* apply(PyObject*, PyObject* text) {
    return at_boundary(
        [&]() -> PyObject* {
            if (!PyUnicode_Check(text))
                return PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(text)->tp_name);
            return Rule(Object::borrow(text)).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* finder_call_stopped(PyObject*, PyObject*) {
    return at_boundary(
        []() -> PyObject* {
            PyObject* dict = PyThreadState_GetDict();  // borrowed
            if (!dict) Py_RETURN_FALSE;
            static PyObject* const key = intern(finder::kPublishedCallKey);
            PyObject* call = PyDict_GetItemWithError(dict, key);  // borrowed
            if (!call) {
                if (PyErr_Occurred()) throw_error();
                Py_RETURN_FALSE;
            }
            return Object::borrow(call).attr("stopped"_id).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* parse_project_page(PyObject*, PyObject* args, PyObject* kwargs) {
    return at_boundary(
        [&]() -> PyObject* {
            static const char* keywords[] = {"body", "page_url", "project", "format", "index_url", nullptr};
            PyObject *body, *page_url, *project, *format, *index_url = Py_None;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OO:parse_project_page", const_cast<char**>(keywords),
                                             &body, &page_url, &project, &format, &index_url))
                return nullptr;
            return pages::parse_project_page(Object::borrow(body), Object::borrow(page_url), Object::borrow(project),
                                             Object::borrow(format), Object::borrow(index_url))
                .release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* project_page_url(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return at_boundary(
        [&]() -> PyObject* {
            if (nargs != 2) return PyErr_Format(PyExc_TypeError, "project_page_url() takes 2 arguments (%zd given)", nargs);
            return pages::project_page_url(Object::borrow(args[0]), Object::borrow(args[1])).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* resolve_url(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return at_boundary(
        [&]() -> PyObject* {
            if (nargs != 2) return PyErr_Format(PyExc_TypeError, "resolve_url() takes 2 arguments (%zd given)", nargs);
            return pages::resolve_url(Object::borrow(args[0]), Object::borrow(args[1])).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* parse_time(PyObject*, PyObject* text) {
    return at_boundary([&]() -> PyObject* { return pages::parse_time(Object::borrow(text)).release(); },
                       static_cast<PyObject*>(nullptr));
}

PyObject* is_json_object(PyObject*, PyObject* body) {
    return at_boundary(
        [&]() -> PyObject* {
            if (!PyBytes_Check(body))
                return PyErr_Format(PyExc_TypeError, "expected bytes, got %.200s", Py_TYPE(body)->tp_name);
            std::string_view text(PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body)));
            return PyBool_FromLong(pages::is_json_object(text));
        },
        static_cast<PyObject*>(nullptr));
}

int exec_module(PyObject* module) {
    return at_boundary(
        [&] {
            pages::add_record_types(Object::borrow(module));
            return module::add_wheel_reader_type(module);
        },
        -1);
}

PyMethodDef methods[] = {
    {"mask_url", apply<config::redact>, METH_O,
     "mask_url(text, /)\n--\n\n"
     "A URL as the client's log lines write an inserted URL value: the user-info of\n"
     "the netloc urlsplit finds masked (user:****@, or ****@ for a token), and any\n"
     "URL after it (in the query, say) masked as in mask_text."},
    {"mask_text", apply<config::redact_text>, METH_O,
     "mask_text(text, /)\n--\n\n"
     "Free text as the client's log lines write an inserted exception text: every\n"
     "'//' starts a netloc, running to the next '/', '?' or '#', whose user-info is masked."},
    {"mask_given_url", apply<config::redact_given_url>, METH_O,
     "mask_given_url(text, /)\n--\n\n"
     "A string given as an index URL, secret-bearing even when it does not parse:\n"
     "whatever stands before the last '@' of its authority-like part is masked\n"
     "('https:/u:****@h', 'u:****@h'). Equal to mask_url where urlsplit finds a\n"
     "netloc holding an '@'."},
    {"normalize_index_url", apply<config::strip_trailing_slashes>, METH_O,
     "normalize_index_url(url, /)\n--\n\n"
     "An index URL as the client compares them: url.rstrip('/\\\\')."},
    {"without_credentials", apply<config::without_credentials>, METH_O,
     "without_credentials(url, /)\n--\n\n"
     "The URL without its user-info and fragment, scheme and host in lower case\n"
     "(ASCII), the netloc found where urlsplit finds it."},
    {"user_info", apply<config::user_info>, METH_O,
     "user_info(url, /)\n--\n\n"
     "The user-info of the URL's netloc (all before its last '@', as written),\n"
     "or None."},
    {"finder_call_stopped", finder_call_stopped, METH_NOARGS,
     "finder_call_stopped()\n--\n\n"
     "Whether the client's finder call running on this thread was given up by its\n"
     "awaiting coroutine (the task was cancelled): code inside the call should stop\n"
     "at once. False outside a finder call."},
    {"parse_project_page", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_project_page)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_project_page(body, page_url, project, *, format, index_url=None)\n--\n\n"
     "A project page's bytes as a ProjectPage: format 'json' (PEP 691) or 'html'\n"
     "(PEP 503); relative URLs resolved against page_url; the files' versions read\n"
     "for `project`. ValueError for a page that cannot be read (broken JSON, an API\n"
     "version of a newer major)."},
    {"project_page_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_page_url)), METH_FASTCALL,
     "project_page_url(index_url, project, /)\n--\n\n"
     "The URL of a project's page at an index: index_url without its trailing\n"
     "slashes, '/', the normalised name (percent-encoded), '/'."},
    {"resolve_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve_url)), METH_FASTCALL,
     "resolve_url(base, reference, /)\n--\n\n"
     "reference resolved against the absolute URL base (RFC 3986), as the page parser\n"
     "resolves links: outer white space dropped, the fragment left out."},
    {"parse_time", parse_time, METH_O,
     "parse_time(text, /)\n--\n\n"
     "An RFC 3339 time read as the page parser reads upload times ('T', 't' or a\n"
     "space, seconds required, 'Z' or an offset): an aware datetime, or None."},
    {"is_json_object", is_json_object, METH_O,
     "is_json_object(body, /)\n--\n\n"
     "Whether the bytes are one JSON object and nothing else, read as the page parser\n"
     "reads JSON pages (strict RFC 8259, UTF-8, nesting of 64 at most; a leading byte\n"
     "order mark skipped), without building it."},
    {nullptr, nullptr, 0, nullptr},
};

// The module holds no state; its record types are made once per process.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native",
    "Credential masking and URL parts, shared with the package index client; the finder call's stop flag; "
    "the project page parser; the reader of wheel metadata.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace pic

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&pic::module_def); }
