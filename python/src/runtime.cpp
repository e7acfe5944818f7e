// drov_def.Runtime: a runtime handle with its settings, the default one of
// each thread, and drov_def.Error, raised for every failure the library
// reports.
#include <cstring>
#include <string>

#include "core.h"
#include "drov_def/drov_def_support.hpp"

namespace drovpy {

PyTypeObject *RuntimeType = nullptr;
PyObject *ErrorClass = nullptr;

namespace {

PyObject *default_key = nullptr; // the thread state dict's key of the default runtime

void runtime_dealloc(PyObject *o) {
    auto *rt = reinterpret_cast<RuntimeObject *>(o);
    // Every instance made through the handle is gone: each holds its runtime.
    if (rt->h != nullptr) drov_def_runtime_free(rt->h);
    PyMem_Free(rt->domain);
    PyTypeObject *tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

// A structure named by its class or its name.
const TypeDesc *type_arg(PyObject *o) {
    if (PyUnicode_Check(o)) {
        const char *s = PyUnicode_AsUTF8(o);
        if (s == nullptr) return nullptr;
        for (int i = 0; i < kTypeCount; ++i)
            if (std::strcmp(kTypes[i]->name, s) == 0) return kTypes[i];
        PyErr_Format(PyExc_ValueError, "no structure is named '%s'", s);
        return nullptr;
    }
    return type_of_class(o);
}

int variant_arg(const TypeDesc &t, PyObject *v) {
    if (v == Py_None) return -1;
    if (!PyLong_Check(v) || PyBool_Check(v)) {
        PyErr_Format(PyExc_TypeError, "a variant of %s is an int or None, not %s", t.name, Py_TYPE(v)->tp_name);
        return -2;
    }
    const long n = PyLong_AsLong(v);
    if (n == -1 && PyErr_Occurred()) return -2;
    if (n < 0 || n >= t.variants) {
        PyErr_Format(PyExc_ValueError, "%s has variants 0 to %d, not %ld", t.name, t.variants - 1, n);
        return -2;
    }
    return static_cast<int>(n);
}

int runtime_init_settings(RuntimeObject *rt, PyObject *tracking, PyObject *allocator, PyObject *pool_chunk,
                          PyObject *variants, PyObject *context) {
    if (tracking != nullptr) {
        const int on = PyObject_IsTrue(tracking);
        if (on < 0) return -1;
        if (on) {
            if (uint32_t rc = drov_def_runtime_set_tracking(rt->h, DROV_DEF_TRACKING_ON); rc != 0)
                return lib_error_int(rt, rc, "tracking", nullptr, "");
            rt->tracking = true;
        }
    }
    if (allocator != nullptr && allocator != Py_None) {
        const char *a = PyUnicode_Check(allocator) ? PyUnicode_AsUTF8(allocator) : nullptr;
        if (a == nullptr || (std::strcmp(a, "malloc") != 0 && std::strcmp(a, "pool") != 0)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "allocator is 'malloc' or 'pool'");
            return -1;
        }
        rt->pool = std::strcmp(a, "pool") == 0;
    }
    if (pool_chunk != nullptr && pool_chunk != Py_None) {
        if (!PyLong_Check(pool_chunk)) {
            PyErr_SetString(PyExc_TypeError, "pool_chunk is an int (bytes)");
            return -1;
        }
        const unsigned long long n = PyLong_AsUnsignedLongLong(pool_chunk);
        if (PyErr_Occurred() || n < 4096 || n > 0x7fffffffull) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "pool_chunk is 4096 to 2147483647 bytes");
            return -1;
        }
        rt->pool_chunk = static_cast<uint32_t>(n);
        rt->pool = true;
    }
    if (rt->pool) {
        if (uint32_t rc = drov_def_runtime_use_pool(rt->h, rt->pool_chunk); rc != 0)
            return lib_error_int(rt, rc, "use_pool", nullptr, "");
    }
    if (variants != nullptr && variants != Py_None) {
        if (!PyDict_Check(variants)) {
            PyErr_SetString(PyExc_TypeError, "variants is a dict of structure (class or name) to variant");
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(variants, &pos, &k, &v)) {
            const TypeDesc *t = type_arg(k);
            if (t == nullptr) return -1;
            const int n = variant_arg(*t, v);
            if (n == -2 || !runtime_set_variant(rt, *t, n)) return -1;
        }
    }
    if (context != nullptr && context != Py_None) {
        const unsigned long n = PyLong_Check(context) ? PyLong_AsUnsignedLong(context) : 0;
        if (!PyLong_Check(context) || PyErr_Occurred() || n > 0xffffffffu) {
            PyErr_Clear();
            PyErr_SetString(PyLong_Check(context) ? PyExc_ValueError : PyExc_TypeError,
                            "context is an int from 0 to 4294967295");
            return -1;
        }
        rt->ctx = static_cast<uint32_t>(n);
    }
    return 0;
}

RuntimeObject *make_runtime(PyTypeObject *tp) {
    auto *rt = reinterpret_cast<RuntimeObject *>(tp->tp_alloc(tp, 0));
    if (rt == nullptr) return nullptr;
    rt->ctx = DROV_DEF_CTX_NONE;
    rt->pool_chunk = DROV_DEF_POOL_CHUNK_DEFAULT;
    rt->domain = static_cast<int8_t *>(PyMem_Malloc(static_cast<size_t>(kTypeCount)));
    rt->h = drov_def_runtime_new();
    if (rt->domain == nullptr || rt->h == nullptr) {
        Py_DECREF(rt);
        PyErr_NoMemory();
        return nullptr;
    }
    std::memset(rt->domain, -1, static_cast<size_t>(kTypeCount));
    return rt;
}

PyObject *runtime_new(PyTypeObject *tp, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"tracking", "allocator", "pool_chunk", "variants", "context", nullptr};
    PyObject *tracking = nullptr, *allocator = nullptr, *chunk = nullptr, *variants = nullptr, *context = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOO:Runtime", const_cast<char **>(names), &tracking,
                                     &allocator, &chunk, &variants, &context))
        return nullptr;
    RuntimeObject *rt = make_runtime(tp);
    if (rt == nullptr) return nullptr;
    if (runtime_init_settings(rt, tracking, allocator, chunk, variants, context) < 0) {
        Py_DECREF(rt);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(rt);
}

PyObject *runtime_repr(PyObject *o) {
    auto *rt = reinterpret_cast<RuntimeObject *>(o);
    return PyUnicode_FromFormat("drov_def.Runtime(tracking=%s, allocator='%s', live_blocks=%llu)",
                                rt->tracking ? "True" : "False", rt->pool ? "pool" : "malloc",
                                static_cast<unsigned long long>(drov_def_runtime_live_blocks(rt->h)));
}

PyObject *get_tracking(PyObject *o, void *) { return PyBool_FromLong(reinterpret_cast<RuntimeObject *>(o)->tracking); }
PyObject *get_allocator(PyObject *o, void *) {
    return PyUnicode_FromString(reinterpret_cast<RuntimeObject *>(o)->pool ? "pool" : "malloc");
}
PyObject *get_context(PyObject *o, void *) { return PyLong_FromUnsignedLong(reinterpret_cast<RuntimeObject *>(o)->ctx); }
PyObject *get_live_blocks(PyObject *o, void *) {
    return PyLong_FromUnsignedLongLong(drov_def_runtime_live_blocks(reinterpret_cast<RuntimeObject *>(o)->h));
}
PyObject *get_variants(PyObject *o, void *) {
    auto *rt = reinterpret_cast<RuntimeObject *>(o);
    PyObject *d = PyDict_New();
    if (d == nullptr) return nullptr;
    for (int i = 0; i < kTypeCount; ++i) {
        if (rt->domain[i] < 0) continue;
        PyObject *v = PyLong_FromLong(rt->domain[i]);
        if (v == nullptr || PyDict_SetItemString(d, kTypes[i]->name, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return d;
}

PyObject *runtime_set_variant_py(PyObject *o, PyObject *const *args, Py_ssize_t n) {
    if (n != 2) {
        PyErr_SetString(PyExc_TypeError, "set_variant(structure, variant) takes two arguments");
        return nullptr;
    }
    const TypeDesc *t = type_arg(args[0]);
    if (t == nullptr) return nullptr;
    const int v = variant_arg(*t, args[1]);
    if (v == -2 || !runtime_set_variant(reinterpret_cast<RuntimeObject *>(o), *t, v)) return nullptr;
    Py_RETURN_NONE;
}

PyGetSetDef runtime_getset[] = {
    {"tracking", get_tracking, nullptr, "Whether instances carry a state flag per field.", nullptr},
    {"allocator", get_allocator, nullptr, "'malloc' or 'pool': where the handle's blocks come from.", nullptr},
    {"context", get_context, nullptr, "The context id every operation hands the runtime.", nullptr},
    {"live_blocks", get_live_blocks, nullptr, "Blocks handed out and not yet freed.", nullptr},
    {"variants", get_variants, nullptr,
     "The variants chosen for new instances, {structure name: variant} (others get their highest).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef runtime_methods[] = {
    {"set_variant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(runtime_set_variant_py)),
     METH_FASTCALL,
     "set_variant(structure, variant)\n--\n\nThe variant new instances of a structure (its class or name) get, "
     "and the highest an encoding of it writes; None: the highest the library knows."},
    {nullptr, nullptr, 0, nullptr},
};

const char runtime_doc[] =
    "Runtime(*, tracking=False, allocator='malloc', pool_chunk=None, variants=None, context=None)\n--\n\n"
    "A runtime handle of the library and its settings, fixed before any instance is made through it.\n\n"
    "tracking: every instance carries a state flag per field (state_flag, set_state_flag).\n"
    "allocator: 'malloc', or 'pool' (blocks from the handle's own chunks of pool_chunk bytes, 64 KiB by default).\n"
    "variants: {structure (class or name): variant}: the variant new instances get and the highest their\n"
    "encodings write, as a peer that knows only those; others get the highest the library knows.\n"
    "context: the context id every operation hands the runtime (by default 0xFFFFFFFF: none).\n\n"
    "Every record keeps its runtime alive.  Each thread has a default runtime (default_runtime()) that\n"
    "records use unless given runtime=.";

PyType_Slot runtime_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(runtime_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(runtime_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(runtime_repr)},
    {Py_tp_getset, runtime_getset},
    {Py_tp_methods, runtime_methods},
    {Py_tp_doc, const_cast<char *>(runtime_doc)},
    {0, nullptr},
};

PyType_Spec runtime_spec = {"drov_def.Runtime", sizeof(RuntimeObject), 0, Py_TPFLAGS_DEFAULT, runtime_slots};

} // namespace

bool runtime_set_variant(RuntimeObject *rt, const TypeDesc &t, int variant) {
    if (uint32_t rc = drov_def_runtime_set_variant(rt->h, t.name, variant); rc != 0) {
        lib_error(rt, rc, "set_variant", &t, "");
        return false;
    }
    rt->domain[t.index] = static_cast<int8_t>(variant);
    return true;
}

bool runtime_type_init(PyObject *module) {
    RuntimeType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&runtime_spec));
    if (RuntimeType == nullptr) return false;
    default_key = PyUnicode_InternFromString("drov_def.default_runtime");
    if (default_key == nullptr) return false;
    Py_INCREF(RuntimeType);
    return PyModule_AddObject(module, "Runtime", reinterpret_cast<PyObject *>(RuntimeType)) == 0;
}

RuntimeObject *default_runtime() {
    PyObject *d = PyThreadState_GetDict();
    if (d == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state for the default runtime");
        return nullptr;
    }
    if (PyObject *rt = PyDict_GetItemWithError(d, default_key); rt != nullptr)
        return reinterpret_cast<RuntimeObject *>(rt);
    if (PyErr_Occurred()) return nullptr;
    RuntimeObject *rt = make_runtime(RuntimeType);
    if (rt == nullptr) return nullptr;
    // The thread's dictionary keeps it; records made through it keep it too.
    const int rc = PyDict_SetItem(d, default_key, reinterpret_cast<PyObject *>(rt));
    Py_DECREF(rt);
    return rc < 0 ? nullptr : rt;
}

RuntimeObject *runtime_arg(PyObject *runtime) {
    if (runtime == nullptr || runtime == Py_None) return default_runtime();
    if (Py_TYPE(runtime) != RuntimeType) {
        PyErr_Format(PyExc_TypeError, "runtime is a drov_def.Runtime, not %s", Py_TYPE(runtime)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<RuntimeObject *>(runtime);
}

namespace {
bool set_item(PyObject *d, const char *k, PyObject *v) {
    if (v == nullptr) return false;
    const int rc = PyDict_SetItemString(d, k, v);
    Py_DECREF(v);
    return rc == 0;
}
} // namespace

PyObject *lib_error(RuntimeObject *rt, uint32_t code, const char *operation, const TypeDesc *t,
                    const char *field, bool placed, const std::string &detail) {
    std::string subject = t != nullptr ? t->name : "runtime";
    if (field != nullptr && *field != '\0') subject.append(".").append(field);
    drov::Place place;
    if (placed && rt != nullptr) place = drov::last_place(rt->h, code);
    const drov::error e(std::error_code(static_cast<int>(code), drov::error_category()), operation,
                        subject.c_str(), detail, place);
    PyObject *args = Py_BuildValue("(kss)", static_cast<unsigned long>(code), drov_def_strerror(code), e.what());
    PyObject *kw = PyDict_New();
    const bool has_place = static_cast<bool>(place);
    const std::string path = has_place ? place.path : std::string(field != nullptr ? field : "");
    if (args == nullptr || kw == nullptr || !set_item(kw, "operation", PyUnicode_FromString(operation)) ||
        !set_item(kw, "type_name", PyUnicode_FromString(t != nullptr ? t->name : "")) ||
        !set_item(kw, "path", PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace")) ||
        (place.offset >= 0 && !set_item(kw, "offset", PyLong_FromLongLong(place.offset))) ||
        (place.line != 0 && !set_item(kw, "line", PyLong_FromUnsignedLong(place.line))) ||
        (place.line != 0 && !set_item(kw, "column", PyLong_FromUnsignedLong(place.column))) ||
        (!place.reason.empty() &&
         !set_item(kw, "reason", PyUnicode_DecodeUTF8(place.reason.data(),
                                                      static_cast<Py_ssize_t>(place.reason.size()), "replace")))) {
        Py_XDECREF(args);
        Py_XDECREF(kw);
        return nullptr;
    }
    // drov_def/__init__.py names the class before anything can fail; the
    // compiled module imported on its own raises OSError.
    PyObject *exc = nullptr;
    if (ErrorClass != nullptr) {
        exc = PyObject_Call(ErrorClass, args, kw);
    } else if (PyObject *two = PyTuple_GetSlice(args, 0, 2); two != nullptr) {
        exc = PyObject_Call(PyExc_OSError, two, nullptr);
        Py_DECREF(two);
    }
    Py_DECREF(args);
    Py_DECREF(kw);
    if (exc != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

} // namespace drovpy
