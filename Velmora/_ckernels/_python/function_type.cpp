// The native function heap type: call, attributes, signature, pickling, repr and GC support.
#include "_python/function_type.h"

#include <structmember.h>

#include <array>
#include <cstddef>

namespace velm_py {

namespace {

PyObject* g_default_kwnames = nullptr;  // ("default",), for inspect.Parameter

// A function object: one entry of a module's table plus what the host sees of it.
struct KernelFunction {
    PyObject_HEAD
    const Entry* entry;
    PyObject* module;       // strong: `np` is looked up on it at call time
    PyObject* name;         // __name__ and __qualname__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__
    PyObject* param_names;  // interned names in positional order
    PyObject* signature;    // inspect.Signature, built on first request
};

KernelFunction* as_function(PyObject* self) noexcept {
    return reinterpret_cast<KernelFunction*>(self);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    const KernelFunction& function = *as_function(self);
    Call call(*function.entry, function.param_names, function.defaults, function.module);
    if (!call.bind(args, kwargs) || !call.convert_scalars()) {
        return nullptr;
    }
    return function.entry->run(call);
}

// inspect.Signature of positional-or-keyword parameters with the tabled defaults.
PyObject* build_signature(const KernelFunction& function) noexcept {
    const Entry& entry = *function.entry;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = attribute(inspect, "Parameter");
    Ref kind = attribute(parameter, "POSITIONAL_OR_KEYWORD");
    Ref signature = attribute(inspect, "Signature");
    Ref parameters = Ref::steal(kind && signature ? PyList_New(entry.n_params) : nullptr);
    if (!parameters) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < entry.n_params; ++i) {
        const Py_ssize_t default_index = i - entry.n_required();
        PyObject* argv[] = {PyTuple_GET_ITEM(function.param_names, i), kind.get(),
                            default_index >= 0 ? PyTuple_GET_ITEM(function.defaults, default_index)
                                               : nullptr};
        PyObject* item = PyObject_Vectorcall(parameter.get(), argv, 2,
                                             default_index >= 0 ? g_default_kwnames : nullptr);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(parameters.get(), i, item);
    }
    return PyObject_CallOneArg(signature.get(), parameters.get());
}

PyObject* function_signature(PyObject* self, void*) noexcept {
    KernelFunction* function = as_function(self);
    if (!function->signature) {
        // Building may release the interpreter lock (the import), so another thread may have
        // stored a signature meanwhile; the first one stored is kept.
        PyObject* built = build_signature(*function);
        if (!built) {
            return nullptr;
        }
        if (function->signature) {
            Py_DECREF(built);
        } else {
            function->signature = built;
        }
    }
    return Py_NewRef(function->signature);
}

// Pickles by reference, as built-in functions do: the name alone tells pickle to look the object
// up as a global of __module__ when loading, and copy and deepcopy to return the object itself.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->name);
}

// A descriptor that never binds, like a built-in function stored on a class; being one is also
// what makes inspect.isroutine true, so that help() prints the signature.
PyObject* function_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

// Names the module by the type's __module__, which the dotted type name set and an immutable
// type keeps.
PyObject* function_repr(PyObject* self) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref module_name = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    return module_name ? PyUnicode_FromFormat("<native function %U of module %S>",
                                              as_function(self)->name, module_name.get())
                       : nullptr;
}

// The references a function owns, for the collector's traverse and clear.
std::array<PyObject**, 6> owned_references(KernelFunction* function) noexcept {
    return {&function->module,   &function->name,        &function->doc,
            &function->defaults, &function->param_names, &function->signature};
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    for (PyObject** slot : owned_references(as_function(self))) {
        Py_VISIT(*slot);
    }
    return 0;
}

int function_clear(PyObject* self) noexcept {
    for (PyObject** slot : owned_references(as_function(self))) {
        Py_CLEAR(*slot);
    }
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT_EX, offsetof(KernelFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT_EX, offsetof(KernelFunction, name), READONLY, nullptr},
    {"__doc__", T_OBJECT_EX, offsetof(KernelFunction, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT_EX, offsetof(KernelFunction, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No Py_tp_doc: the per-object __doc__ member must stay the type's __doc__ entry. __module__
// comes from the dotted type name and is read through the type by every instance.
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

Ref default_value(const Default& value) noexcept {
    switch (value.type) {
        case Default::Type::boolean: return Ref::steal(PyBool_FromLong(value.value != 0.0));
        case Default::Type::real: return Ref::steal(PyFloat_FromDouble(value.value));
        case Default::Type::integer:
            return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value.value)));
    }
    return Ref();
}

Ref defaults_tuple(const Entry& entry) noexcept {
    return tuple_of(entry.n_defaults,
                    [&](Py_ssize_t i) { return default_value(entry.defaults[i]).release(); });
}

Ref param_names(const Entry& entry) noexcept {
    return tuple_of(entry.n_params,
                    [&](Py_ssize_t i) { return PyUnicode_InternFromString(entry.params[i].name); });
}

}  // namespace

PyTypeObject* new_function_type(PyObject* module, const char* type_name) noexcept {
    if (!replace(g_default_kwnames, keyword_names("default").release())) {
        return nullptr;
    }
    PyType_Spec definition = {
        type_name,
        sizeof(KernelFunction),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &definition, nullptr));
}

Ref new_function(PyTypeObject* type, const Entry& entry, PyObject* module) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(entry.name));
    Ref doc = Ref::steal(PyUnicode_FromString(entry.doc));
    Ref defaults = defaults_tuple(entry);
    Ref names = param_names(entry);
    if (!name || !doc || !defaults || !names) {
        return Ref();
    }
    KernelFunction* function = PyObject_GC_New(KernelFunction, type);
    if (!function) {
        return Ref();
    }
    function->entry = &entry;
    function->module = Py_NewRef(module);
    function->name = name.release();
    function->doc = doc.release();
    function->defaults = defaults.release();
    function->param_names = names.release();
    function->signature = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace velm_py
