#include "module/wheel_reader_type.hpp"

#include <memory>
#include <new>

#include "finder/limits.hpp"
#include "finder/redirect.hpp"
#include "finder/wheel_reader.hpp"
#include "runtime/boundary.hpp"

namespace pic::module {

namespace {

using finder::WheelReader;

struct ReaderObject {
    PyObject_HEAD
    WheelReader* reader;  // owned
    bool busy;            // a method is running: a call from its callback, or from another thread, must wait
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

// The reader, for one method call at a time.
template <class Work>
PyObject* with_reader(PyObject* self, Work work) {
    return at_boundary(
        [&]() -> PyObject* {
            ReaderObject* r = as_reader(self);
            if (!r->reader) raise(PyExc_RuntimeError, "the reader was not initialised");
            if (r->busy) raise(PyExc_RuntimeError, "the reader is in use");
            r->busy = true;
            struct Free {
                ReaderObject* r;
                ~Free() { r->busy = false; }
            } free{r};
            return work(*r->reader).release();
        },
        static_cast<PyObject*>(nullptr));
}

// {str: str}: the reader keeps its own copy, so it holds nothing that may hold it.
Object hashes_of(PyObject* given) {
    if (!given || given == Py_None) return Object::none();
    if (!PyDict_Check(given)) raise(PyExc_TypeError, "hashes must be a dict of hashlib names and hex digests");
    Object copy = new_dict();
    Py_ssize_t pos = 0;
    PyObject *name, *digest;
    while (PyDict_Next(given, &pos, &name, &digest)) {
        if (!PyUnicode_Check(name) || !PyUnicode_Check(digest))
            raise(PyExc_TypeError, "hashes must be a dict of hashlib names and hex digests");
        copy.set_item(Object::steal(PyUnicode_FromObject(name)), Object::steal(PyUnicode_FromObject(digest)));
    }
    return copy;
}

int reader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"url", "filename", "hashes", "metadata_file", "whole", nullptr};
    PyObject *url = nullptr, *filename = Py_None, *hashes = Py_None;
    int metadata_file = 0, whole = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$OOpp:WheelMetadataReader", const_cast<char**>(keywords), &url,
                                     &filename, &hashes, &metadata_file, &whole))
        return -1;
    return at_boundary(
        [&] {
            if (filename != Py_None && !PyUnicode_Check(filename)) raise(PyExc_TypeError, "filename must be a str");
            Object url_text = Object::steal(PyUnicode_FromObject(url));
            Object name = filename == Py_None ? url_text : Object::steal(PyUnicode_FromObject(filename));
            auto reader = std::make_unique<WheelReader>(
                metadata_file ? WheelReader::Source::metadata_file : WheelReader::Source::wheel, url_text, name,
                hashes_of(hashes), whole != 0);
            ReaderObject* r = as_reader(self);
            if (r->busy) raise(PyExc_RuntimeError, "the reader is in use");
            delete std::exchange(r->reader, reader.release());
            return 0;
        },
        -1);
}

void reader_dealloc(PyObject* self) {
    delete as_reader(self)->reader;
    Py_TYPE(self)->tp_free(self);
}

Object optional_int(bool present, int64_t value) {
    return present ? Object::steal(PyLong_FromLongLong(value)) : Object::none();
}

PyObject* reader_wanted(PyObject* self, PyObject*) {
    return with_reader(self, [](WheelReader& reader) {
        std::optional<WheelReader::Wanted> want = reader.wanted();
        if (!want) return Object::none();
        using Kind = WheelReader::Wanted::Kind;
        switch (want->kind) {
        case Kind::tail: return tuple("tail"_id, optional_int(true, -want->end), Object::none());
        case Kind::range: return tuple("range"_id, optional_int(true, want->begin), optional_int(true, want->end));
        case Kind::whole: return tuple("whole"_id, optional_int(true, 0), Object::none());
        case Kind::copy: return tuple("copy"_id, optional_int(true, want->begin), optional_int(true, want->end));
        }
        raise(PyExc_SystemError, "an unknown want");
    });
}

PyObject* reader_respond(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"status", "headers", "decoded", nullptr};
    int status = 0, decoded = 0;
    PyObject* headers = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|$p:respond", const_cast<char**>(keywords), &status, &headers,
                                     &decoded))
        return nullptr;
    return with_reader(self, [&](WheelReader& reader) {
        switch (reader.respond(status, Object::borrow(headers), decoded != 0)) {
        case WheelReader::Body::skip: return Object::borrow("skip"_id);
        case WheelReader::Body::range: return Object::borrow("range"_id);
        case WheelReader::Body::whole: return Object::borrow("whole"_id);
        }
        raise(PyExc_SystemError, "an unknown answer");
    });
}

PyObject* reader_feed(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "keep", nullptr};
    PyObject *data = nullptr, *keep = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O:feed", const_cast<char**>(keywords), &PyBytes_Type, &data,
                                     &keep))
        return nullptr;
    return with_reader(self, [&](WheelReader& reader) {
        WheelReader::Keep keeper;
        if (keep != Py_None) keeper = [keep](const Object& piece) { Object::borrow(keep)(piece); };
        return boolean(reader.feed(Object::borrow(data), keeper));
    });
}

PyObject* reader_end(PyObject* self, PyObject*) {
    return with_reader(self, [](WheelReader& reader) {
        reader.end();
        return Object::none();
    });
}

PyObject* reader_result(PyObject* self, PyObject*) {
    return with_reader(self, [](WheelReader& reader) { return reader.requirements(); });
}

PyObject* reader_metadata(PyObject* self, PyObject*) {
    return with_reader(self, [](WheelReader& reader) { return reader.metadata(); });
}

PyObject* reader_redirect(PyObject*, PyObject* args) {
    PyObject *first, *url, *location, *headers;
    int status, made;
    if (!PyArg_ParseTuple(args, "UUiOO!i:redirect", &first, &url, &status, &location, &PyDict_Type, &headers, &made))
        return nullptr;
    return at_boundary(
        [&]() -> PyObject* {
            auto hop = finder::next_hop(Object::borrow(first), Object::borrow(url), status, Object::borrow(location),
                                        Object::borrow(headers), made);
            if (!hop) Py_RETURN_NONE;
            return tuple(hop->url, hop->headers).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef reader_methods[] = {
    {"wanted", reader_wanted, METH_NOARGS,
     "wanted($self, /)\n--\n\n"
     "What to fetch next, or None when the read is complete: ('tail', -N, None) the\n"
     "last N bytes (Range: bytes=-N); ('range', start, end) the bytes [start, end);\n"
     "('whole', 0, None) the whole file, without a Range header; ('copy', start, end)\n"
     "the bytes [start, end) of the copy of the whole wheel that `feed` handed out."},
    {"respond", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_respond)),
     METH_VARARGS | METH_KEYWORDS,
     "respond($self, /, status, headers, *, decoded=False)\n--\n\n"
     "The answer to the request for what `wanted` gave, redirects followed, after the\n"
     "caller raised for an HTTP error status (but a 416 to a range request). `headers`\n"
     "needs a case-insensitive get; `decoded`: the client decoded the body already.\n"
     "Gives 'skip' (close the answer, ask `wanted` again), 'range' (feed its body) or\n"
     "'whole' (feed its body, keeping what `feed` hands out: the wheel's copy)."},
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_feed)), METH_VARARGS | METH_KEYWORDS,
     "feed($self, /, data, keep=None)\n--\n\n"
     "The body's bytes as they arrive, or for 'copy' the bytes asked for. Of a whole\n"
     "wheel each decoded piece goes to keep(piece). False: no more of this body is\n"
     "wanted."},
    {"end", reader_end, METH_NOARGS, "end($self, /)\n--\n\nThe body has ended (or the copy's bytes are all fed)."},
    {"result", reader_result, METH_NOARGS,
     "result($self, /)\n--\n\nThe Requires-Dist values of the complete read, as the email parser reads them."},
    {"metadata", reader_metadata, METH_NOARGS,
     "metadata($self, /)\n--\n\nMETADATA itself, for a reader made with whole=True."},
    {"redirect", reader_redirect, METH_VARARGS | METH_STATIC,
     "redirect(first, url, status, location, headers, made, /)\n--\n\n"
     "The redirect rule of this road: for the answer `status` (its Location header\n"
     "`location`, or None) to a request for `url` with the dict `headers`, `made`\n"
     "redirects after asking for `first`: (next_url, next_headers) to follow, None\n"
     "when it is no redirect; ValueError for one not followed."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject reader_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "quorvel_master._native.WheelMetadataReader";
    t.tp_basicsize = sizeof(ReaderObject);
    t.tp_dealloc = reader_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc =
        "WheelMetadataReader(url, *, filename=None, hashes=None, metadata_file=False, whole=False)\n--\n\n"
        "The core metadata of a wheel on an index (or of its announced metadata file),\n"
        "read without I/O: it says what to fetch, is handed the answers, and ends with\n"
        "the Requires-Dist values, every cap of the wheel-metadata road applied.";
    t.tp_methods = reader_methods;
    t.tp_init = reader_init;
    t.tp_new = PyType_GenericNew;
    return t;
}();

}  // namespace

int add_wheel_reader_type(PyObject* module) {
    return at_boundary(
        [&] {
            if (!(reader_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&reader_type));
            PyObject* dict = reader_type.tp_dict;
            check(PyDict_SetItemString(dict, "TIMEOUT", Object::steal(PyFloat_FromDouble(finder::limits::kTimeout)).get()));
            check(PyDict_SetItemString(dict, "LEAST_PROGRESS", integer(long(finder::limits::kLeastProgress)).get()));
            check(PyDict_SetItemString(dict, "TAIL", integer(long(finder::WheelReader::kTail)).get()));
            check(PyDict_SetItemString(dict, "WIDEN", integer(long(finder::WheelReader::kWiden)).get()));
            check(PyDict_SetItemString(dict, "REDIRECTS", integer(finder::limits::kRedirects).get()));
            PyType_Modified(&reader_type);
            check(PyModule_AddObjectRef(module, "WheelMetadataReader", reinterpret_cast<PyObject*>(&reader_type)));
            return 0;
        },
        -1);
}

}  // namespace pic::module
