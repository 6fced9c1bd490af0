// What a proven stand-in rests on, and whether all of it is still in place.
//
// A proof watches what the library call it replaces reads when it runs, and
// nothing else:
// - named items of namespaces: the module global of ours that the call goes
//   through (`re`, `Version`), the attribute of a module it calls (`re.sub`),
//   and every global name the functions reached read. Each stays bound to the
//   object it was bound to, or absent where it was absent: a global name that
//   falls through to builtins must not be shadowed later, and its builtin
//   stays the same object too;
// - the functions reached, with their code and defaults. A function is
//   followed through `__wrapped__` to the function doing the work, and the
//   names its code reads (the code nested in it included) are looked up in
//   its own globals and builtins; the functions those names are bound to are
//   followed in turn. A decorator's wrapper keeps its code and defaults, but
//   what it reads is not watched: it does not do the work;
// - the namespaces of the classes the call works with (`Version` and its bases
//   defined in Python), whole: every name bound as it was, and no name added
//   that hides one further along the MRO or is a data descriptor (which takes
//   over an instance attribute of its name). Other additions are harmless:
//   copying a Version adds `__slotnames__` to its class.
//
// So a foreign module whose function a class merely holds is not watched as a
// whole: on 3.13 packaging's `Version._version` property is wrapped by
// `warnings.deprecated`, whose globals are the `warnings` namespace, and every
// `warnings.catch_warnings()` block rebinds `warnings.filters` when it is
// left. Ordering never runs that property; what the wrapped function reads
// lives in packaging's own namespace.
//
// The names a function reads as globals are those its instructions load as
// globals (LOAD_GLOBAL), not every name of `co_names`, which also holds the
// attributes it reads: `re._compile` calls `_compiler.compile`, and `re.compile`
// is none of its business.
//
// Checking is cheap while nothing changed: every dict holding a watched item
// is stamped (compat::dict_stamp), and only when a stamp moved is every item
// looked up again. Function code and defaults are compared at every check.
//
// Not watched: changes made inside objects (items of a dict or a set the
// library consults, the attributes of a module or class the code reaches
// through an attribute, a method of a class defined elsewhere).
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/compat.hpp"
#include "runtime/ref.hpp"

namespace pic::fastpath {

class Watch {
public:
    // `name` in the namespace `dict` (a dict) as it is bound now, or absent;
    // returns the value (null when absent).
    Object item(PyObject* dict, PyObject* name);

    // `module.<name>` read from the module's namespace: an item of it.
    // Raises AttributeError when the module lacks it, or `module` is no module.
    Object attribute(const Object& module, PyObject* name);

    // A function as the call runs it (see above). Anything else is ignored.
    void function(const Object& fn);

    // A class and its bases defined in Python, with the functions in them.
    void class_and_bases(const Object& type);

    // Everything watched is as it was when watched (or when last found so).
    // While no stamp moved, only the functions are looked at.
    bool unchanged() {
        for (const Stamp& stamp : stamps_)
            if (compat::dict_stamp(stamp.dict) != stamp.value) return look_again();
        for (const FunctionState& fn : functions_)
            if (!fn.unchanged()) return false;
        return true;
    }

private:
    struct Item {
        Object dict, name, value;  // value null: absent
    };
    // A function as proven: its code and defaults (borrowed: `owned_` keeps them).
    struct FunctionState {
        PyObject *function, *code, *defaults, *kwdefaults;
        bool unchanged() const {
            return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
                   PyFunction_GET_KW_DEFAULTS(function) == kwdefaults;
        }
    };
    // A dict's stamp when everything was last found in place (borrowed: an
    // item or a class namespace keeps the dict).
    struct Stamp {
        PyObject* dict;
        std::uint64_t value;
    };
    struct ClassNamespace {
        Object dict;
        Object proven;              // a copy of the namespace as proven
        std::vector<Object> later;  // the namespaces after it along the MRO
        bool unchanged() const;
        bool harmless(PyObject* name, PyObject* value) const;
    };

    Object read_global(PyObject* globals, PyObject* builtins, PyObject* name);
    void names_read(const Object& code, PyObject* globals, PyObject* builtins);
    void stamp(PyObject* dict);
    bool in_place() const;
    bool look_again();

    std::vector<Item> items_;
    std::vector<FunctionState> functions_;
    std::vector<ClassNamespace> classes_;
    std::vector<Stamp> stamps_;  // every dict involved
    std::vector<Object> owned_;  // what functions_ borrows
    int load_global_ = -1, extended_arg_ = -1;  // opcodes, read when first needed
};

}  // namespace pic::fastpath
