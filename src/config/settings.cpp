#include "config/settings.hpp"

#include "module/function.hpp"
#include "module/runtime.hpp"

namespace pic::config {

Object get_pip_settings(Object self) {
    return global("get_pip_settings"_id)(self.attr("settings_manager"_id));
}

Object get_pip_api_list(Object self) {
    return global("get_pip_api_list"_id)(self.attr("settings_manager"_id));
}

// url.rstrip("/\\")
Object normalize_url(Object, Object url) {
    PyObject* text = url.get();
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    while (end > 0) {
        Py_UCS4 c = PyUnicode_READ(kind, data, end - 1);
        if (c != '/' && c != '\\') break;
        --end;
    }
    if (end == PyUnicode_GET_LENGTH(text)) return url;
    return Object::steal(PyUnicode_Substring(text, 0, end));
}

// re.sub("[-_.]+", "-", name.lower())
Object normalize_name(Object, Object name) {
    Object lowered = name.call_method("lower"_id);
    static PyObject* const pattern = intern("[-_.]+");
    return global("re"_id).attr("sub"_id)(pattern, "-"_id, lowered);
}

Object get_api_pattern_for_index(Object self, Object index_url) {
    Object pip_api_list = self.call_method("_get_pip_api_list"_id);
    Object normalized_index = self.call_method("_normalize_url"_id, index_url);
    static PyObject* const empty = intern("");
    for (Object entry : iterate(pip_api_list)) {
        Object entry_index = self.call_method("_normalize_url"_id, entry.call_method("get"_id, "index_url"_id, empty));
        if (check(PyObject_RichCompareBool(entry_index.get(), normalized_index.get(), Py_EQ)))
            return expect(Returns::str, entry.call_method("get"_id, "api_pattern"_id));
    }
    return Object::none();
}

}  // namespace pic::config
