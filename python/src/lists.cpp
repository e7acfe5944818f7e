// A list field as a mutable sequence of views of its elements, and the
// registry of those views (see core.h): the element view that a removal
// turns into an owner.
#include <unordered_map>
#include <vector>

#include "core.h"

namespace drovpy {

PyTypeObject *ListType = nullptr;

namespace {

PyTypeObject *ListIterType = nullptr;

// Element instance -> its one Python view.  Never freed: views may go after
// the module at exit.
std::unordered_map<void *, RecordObject *> &registry() {
    static auto *m = new std::unordered_map<void *, RecordObject *>();
    return *m;
}

ListObject *as_list(PyObject *o) { return reinterpret_cast<ListObject *>(o); }
const TypeDesc &element_type(const ListObject *l) { return *kTypes[l->field->ref]; }

// The view of an element, made and listed if it has none.
PyObject *element_view(RecordObject *owner, const FieldDesc &f, void *elem) {
    auto &reg = registry();
    if (auto it = reg.find(elem); it != reg.end()) {
        Py_INCREF(it->second);
        return reinterpret_cast<PyObject *>(it->second);
    }
    RecordObject *v = new_record(*kTypes[f.ref], owner->rt, elem, reinterpret_cast<PyObject *>(owner));
    if (v == nullptr) return nullptr;
    v->listed = true;
    reg.emplace(elem, v);
    return reinterpret_cast<PyObject *>(v);
}

// An element just unlinked from its list: its view, if it has one, becomes
// its owner; otherwise it is destroyed.
void drop(RuntimeObject *rt, const TypeDesc &et, void *elem) {
    auto &reg = registry();
    auto it = reg.find(elem);
    if (it == reg.end()) {
        et.destroy(rt->h, rt->ctx, elem);
        return;
    }
    RecordObject *v = it->second;
    reg.erase(it);
    v->listed = false;
    PyObject *parent = v->parent;
    v->parent = nullptr;
    Py_DECREF(parent);
}

// The element at index i (0 <= i < n), from whichever end is nearer.
void *nth(ListObject *l, Py_ssize_t i, Py_ssize_t n, uint32_t *err) {
    H *h = l->owner->rt->h;
    const uint32_t c = l->owner->rt->ctx;
    void *o = l->owner->inst;
    const ListOps &ops = *l->field->list;
    void *e = nullptr;
    if (i <= n / 2) {
        e = ops.first(h, c, o, err);
        for (; i > 0 && e != nullptr && *err == 0; --i) e = ops.next(h, c, o, e, err);
    } else {
        e = ops.last(h, c, o, err);
        for (Py_ssize_t k = n - 1; k > i && e != nullptr && *err == 0; --k) e = ops.prev(h, c, o, e, err);
    }
    return e;
}

PyObject *list_error(ListObject *l, uint32_t err, const char *op) {
    return lib_error(l->owner->rt, err, op, l->owner->type, l->field->name);
}

Py_ssize_t list_len(PyObject *o) {
    ListObject *l = as_list(o);
    uint32_t err = 0;
    const uint32_t n = l->field->list->count(l->owner->rt->h, l->owner->rt->ctx, l->owner->inst, &err);
    if (err != 0) return list_error(l, err, "len"), -1;
    return static_cast<Py_ssize_t>(n);
}

// An index as list indexing reads it; -1 with IndexError outside.
Py_ssize_t index_of(ListObject *l, PyObject *key, Py_ssize_t n, const char *what) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return -1;
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "%s.%s %s index out of range", l->owner->type->name, l->field->name, what);
        return -1;
    }
    return i;
}

PyObject *item_at(ListObject *l, Py_ssize_t i, Py_ssize_t n) {
    uint32_t err = 0;
    void *e = nth(l, i, n, &err);
    if (err != 0) return list_error(l, err, "getitem");
    return element_view(l->owner, *l->field, e);
}

// The elements' views from index i on, as a Python list.
PyObject *views(ListObject *l) {
    const Py_ssize_t n = list_len(reinterpret_cast<PyObject *>(l));
    if (n < 0) return nullptr;
    PyObject *out = PyList_New(n);
    H *h = l->owner->rt->h;
    const uint32_t c = l->owner->rt->ctx;
    uint32_t err = 0;
    void *e = l->field->list->first(h, c, l->owner->inst, &err);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i) {
        PyObject *v = e != nullptr && err == 0 ? element_view(l->owner, *l->field, e) : nullptr;
        if (v == nullptr) {
            Py_CLEAR(out);
            if (err != 0) list_error(l, err, "getitem");
            else if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "list shorter than its count");
            break;
        }
        PyList_SET_ITEM(out, i, v);
        e = l->field->list->next(h, c, l->owner->inst, e, &err);
    }
    return out;
}

PyObject *list_subscript(PyObject *o, PyObject *key) {
    ListObject *l = as_list(o);
    const Py_ssize_t n = list_len(o);
    if (n < 0) return nullptr;
    if (PySlice_Check(key)) {
        PyObject *all = views(l);
        if (all == nullptr) return nullptr;
        PyObject *r = PyObject_GetItem(all, key);
        Py_DECREF(all);
        return r;
    }
    const Py_ssize_t i = index_of(l, key, n, "");
    return i < 0 ? nullptr : item_at(l, i, n);
}

// Unlinks and drops the element e.
int remove_element(ListObject *l, void *e) {
    uint32_t err = 0;
    RuntimeObject *rt = l->owner->rt;
    l->field->list->remove(rt->h, rt->ctx, l->owner->inst, e, &err);
    if (err != 0) return list_error(l, err, "remove"), -1;
    drop(rt, element_type(l), e);
    return 0;
}

// A new element made from a record (copied) or a dict, not yet linked.
void *make_element(ListObject *l, PyObject *v) {
    return instance_from_value(l->owner->rt, element_type(l), v, l->field->name);
}

// Links e before ref (null: at the end); destroys it if that fails.
int link(ListObject *l, void *e, void *ref) {
    RuntimeObject *rt = l->owner->rt;
    uint32_t err = 0;
    if (ref == nullptr)
        l->field->list->set_last(rt->h, rt->ctx, l->owner->inst, e, &err);
    else
        l->field->list->set_before(rt->h, rt->ctx, l->owner->inst, ref, e, &err);
    if (err != 0) {
        element_type(l).destroy(rt->h, rt->ctx, e);
        return list_error(l, err, "insert"), -1;
    }
    return 0;
}

int list_ass_subscript(PyObject *o, PyObject *key, PyObject *value) {
    ListObject *l = as_list(o);
    const Py_ssize_t n = list_len(o);
    if (n < 0) return -1;
    if (PySlice_Check(key)) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError, "a list field takes no slice assignment: assign the whole list");
            return -1;
        }
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return -1;
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
        std::vector<void *> doomed;
        uint32_t err = 0;
        for (Py_ssize_t k = 0; k < count; ++k) {
            doomed.push_back(nth(l, start + k * step, n, &err));
            if (err != 0) return list_error(l, err, "delitem"), -1;
        }
        for (void *e : doomed)
            if (remove_element(l, e) < 0) return -1;
        return 0;
    }
    const Py_ssize_t i = index_of(l, key, n, "assignment");
    if (i < 0) return -1;
    uint32_t err = 0;
    void *old = nth(l, i, n, &err);
    if (err != 0) return list_error(l, err, "setitem"), -1;
    if (value == nullptr) return remove_element(l, old);
    void *e = make_element(l, value);
    if (e == nullptr || link(l, e, old) < 0) return -1;
    return remove_element(l, old);
}

PyObject *list_add(PyObject *o, PyObject *args, PyObject *kwargs) {
    ListObject *l = as_list(o);
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "add() takes the new element's fields as keyword arguments");
        return nullptr;
    }
    RecordObject *el = new_owner(element_type(l), l->owner->rt);
    if (el == nullptr) return nullptr;
    if (kwargs != nullptr && set_fields(el, kwargs, true, nullptr) < 0) {
        Py_DECREF(el);
        return nullptr;
    }
    RuntimeObject *rt = l->owner->rt;
    uint32_t err = 0;
    l->field->list->set_last(rt->h, rt->ctx, l->owner->inst, el->inst, &err);
    if (err != 0) {
        Py_DECREF(el);
        return list_error(l, err, "add");
    }
    // The new element's view.
    Py_INCREF(l->owner);
    el->parent = reinterpret_cast<PyObject *>(l->owner);
    el->listed = true;
    registry().emplace(el->inst, el);
    return reinterpret_cast<PyObject *>(el);
}

PyObject *list_append(PyObject *o, PyObject *v) {
    ListObject *l = as_list(o);
    void *e = make_element(l, v);
    if (e == nullptr || link(l, e, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *list_extend(PyObject *o, PyObject *values) {
    ListObject *l = as_list(o);
    if (list_assign(l->owner, *l->field, values, true) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *list_insert(PyObject *o, PyObject *const *args, Py_ssize_t nargs) {
    ListObject *l = as_list(o);
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "insert(index, element) takes two arguments");
        return nullptr;
    }
    const Py_ssize_t n = list_len(o);
    if (n < 0) return nullptr;
    Py_ssize_t i = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0) i = i + n < 0 ? 0 : i + n;
    uint32_t err = 0;
    void *ref = i < n ? nth(l, i, n, &err) : nullptr;
    if (err != 0) return list_error(l, err, "insert");
    void *e = make_element(l, args[1]);
    if (e == nullptr || link(l, e, ref) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *list_pop(PyObject *o, PyObject *const *args, Py_ssize_t nargs) {
    ListObject *l = as_list(o);
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "pop() takes at most one argument");
        return nullptr;
    }
    const Py_ssize_t n = list_len(o);
    if (n < 0) return nullptr;
    if (n == 0) {
        PyErr_Format(PyExc_IndexError, "pop from empty list %s.%s", l->owner->type->name, l->field->name);
        return nullptr;
    }
    PyObject *minus1 = nullptr;
    if (nargs == 0 && (minus1 = PyLong_FromLong(-1)) == nullptr) return nullptr;
    const Py_ssize_t i = index_of(l, nargs == 1 ? args[0] : minus1, n, "pop");
    Py_XDECREF(minus1);
    if (i < 0) return nullptr;
    // The view first, so that the removal hands the element to it.
    PyObject *v = item_at(l, i, n);
    if (v == nullptr) return nullptr;
    if (remove_element(l, as_record(v)->inst) < 0) {
        Py_DECREF(v);
        return nullptr;
    }
    return v;
}

PyObject *list_clear(PyObject *o, PyObject *) {
    ListObject *l = as_list(o);
    RuntimeObject *rt = l->owner->rt;
    uint32_t err = 0;
    for (;;) {
        void *e = l->field->list->first(rt->h, rt->ctx, l->owner->inst, &err);
        if (err != 0) return list_error(l, err, "clear");
        if (e == nullptr) break;
        if (remove_element(l, e) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *list_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !(PyObject_TypeCheck(b, ListType) || PyList_Check(b) || PyTuple_Check(b)))
        Py_RETURN_NOTIMPLEMENTED;
    PyObject *x = views(as_list(a));
    PyObject *y = PyObject_TypeCheck(b, ListType) ? views(as_list(b)) : PySequence_List(b);
    PyObject *r = x != nullptr && y != nullptr ? PyObject_RichCompare(x, y, op) : nullptr;
    Py_XDECREF(x);
    Py_XDECREF(y);
    return r;
}

PyObject *list_repr(PyObject *o) {
    PyObject *all = views(as_list(o));
    if (all == nullptr) return nullptr;
    PyObject *r = PyObject_Repr(all);
    Py_DECREF(all);
    return r;
}

void list_dealloc(PyObject *o) {
    Py_DECREF(as_list(o)->owner);
    PyTypeObject *tp = Py_TYPE(o);
    PyObject_Free(o);
    Py_DECREF(tp);
}

// ---- Iteration: holds the view of the element it gave last, so that a
// removal of that element during the iteration is noticed, never read.

struct ListIter {
    PyObject_HEAD
    ListObject *list;
    RecordObject *last; // null before the first element and after the end
    bool started;
};

PyObject *list_iter(PyObject *o) {
    ListIter *it = PyObject_New(ListIter, ListIterType);
    if (it == nullptr) return nullptr;
    Py_INCREF(o);
    it->list = as_list(o);
    it->last = nullptr;
    it->started = false;
    return reinterpret_cast<PyObject *>(it);
}

PyObject *iter_next(PyObject *o) {
    auto *it = reinterpret_cast<ListIter *>(o);
    ListObject *l = it->list;
    RuntimeObject *rt = l->owner->rt;
    uint32_t err = 0;
    void *e;
    if (!it->started) {
        it->started = true;
        e = l->field->list->first(rt->h, rt->ctx, l->owner->inst, &err);
    } else {
        if (it->last == nullptr) return nullptr;
        if (!it->last->listed) {
            Py_CLEAR(it->last);
            PyErr_Format(PyExc_RuntimeError, "%s.%s changed during iteration", l->owner->type->name, l->field->name);
            return nullptr;
        }
        e = l->field->list->next(rt->h, rt->ctx, l->owner->inst, it->last->inst, &err);
    }
    Py_CLEAR(it->last);
    if (err != 0) return list_error(l, err, "iterate");
    if (e == nullptr) return nullptr;
    PyObject *v = element_view(l->owner, *l->field, e);
    if (v == nullptr) return nullptr;
    Py_INCREF(v);
    it->last = as_record(v);
    return v;
}

void iter_dealloc(PyObject *o) {
    auto *it = reinterpret_cast<ListIter *>(o);
    Py_XDECREF(it->last);
    Py_DECREF(it->list);
    PyTypeObject *tp = Py_TYPE(o);
    PyObject_Free(o);
    Py_DECREF(tp);
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef list_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(list_add)), METH_VARARGS | METH_KEYWORDS,
     "add(**fields)\n--\n\nA new element with these fields at the end; returns it (a view into the list)."},
    {"append", list_append, METH_O, "append(element)\n--\n\nA copy of a record, or a new element from a dict, at the end."},
    {"extend", list_extend, METH_O, "extend(elements)\n--\n\nCopies of records or new elements from dicts, at the end."},
    {"insert", FASTCALL(list_insert), METH_FASTCALL,
     "insert(index, element)\n--\n\nA copy of a record, or a new element from a dict, before index."},
    {"pop", FASTCALL(list_pop), METH_FASTCALL,
     "pop(index=-1)\n--\n\nRemoves the element at index and returns it, a record of its own now."},
    {"clear", list_clear, METH_NOARGS, "clear()\n--\n\nRemoves every element."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

void registry_erase(RecordObject *v) { registry().erase(v->inst); }

size_t registry_size() { return registry().size(); }

PyObject *new_list(RecordObject *owner, const FieldDesc &f) {
    ListObject *l = PyObject_New(ListObject, ListType);
    if (l == nullptr) return nullptr;
    Py_INCREF(owner);
    l->owner = owner;
    l->field = &f;
    return reinterpret_cast<PyObject *>(l);
}

int list_assign(RecordObject *owner, const FieldDesc &f, PyObject *values, bool keep) {
    RuntimeObject *rt = owner->rt;
    const TypeDesc &et = *kTypes[f.ref];
    if (PyUnicode_Check(values) || PyBytes_Check(values) || PyDict_Check(values) || is_record(values)) {
        PyErr_Format(PyExc_TypeError, "%s.%s takes a sequence of %s or dicts, not %s", owner->type->name, f.name,
                     et.class_name, Py_TYPE(values)->tp_name);
        return -1;
    }
    PyObject *iter = PyObject_GetIter(values);
    if (iter == nullptr) return -1;
    // Every new element first: a bad one leaves the list as it was.
    std::vector<void *> made;
    auto discard = [&] {
        for (void *e : made) et.destroy(rt->h, rt->ctx, e);
        Py_DECREF(iter);
        return -1;
    };
    while (PyObject *item = PyIter_Next(iter)) {
        void *e = instance_from_value(rt, et, item, f.name);
        Py_DECREF(item);
        if (e == nullptr) return discard();
        made.push_back(e);
    }
    if (PyErr_Occurred()) return discard();
    Py_DECREF(iter);
    ListObject tmp; // a transient list object for the shared steps
    tmp.owner = owner;
    tmp.field = &f;
    if (!keep) {
        uint32_t err = 0;
        for (;;) {
            void *e = f.list->first(rt->h, rt->ctx, owner->inst, &err);
            if (err != 0) {
                for (void *x : made) et.destroy(rt->h, rt->ctx, x);
                return list_error(&tmp, err, "set"), -1;
            }
            if (e == nullptr) break;
            if (remove_element(&tmp, e) < 0) {
                for (void *x : made) et.destroy(rt->h, rt->ctx, x);
                return -1;
            }
        }
    }
    for (size_t i = 0; i < made.size(); ++i) {
        if (link(&tmp, made[i], nullptr) < 0) {
            for (size_t k = i + 1; k < made.size(); ++k) et.destroy(rt->h, rt->ctx, made[k]);
            return -1;
        }
    }
    return 0;
}

void release_listed(RuntimeObject *rt, const TypeDesc &t, void *inst) {
    auto &reg = registry();
    if (reg.empty()) return;
    for (int k = 0; k < t.field_count; ++k) {
        const FieldDesc &f = t.fields[k];
        uint32_t err = 0;
        if (f.kind == Kind::Record) {
            void *r = f.get_ptr(rt->h, rt->ctx, inst, &err);
            if (err == 0 && r != nullptr) release_listed(rt, *kTypes[f.ref], r);
        } else if (f.kind == Kind::List) {
            for (void *e = f.list->first(rt->h, rt->ctx, inst, &err); e != nullptr && err == 0;) {
                void *next = f.list->next(rt->h, rt->ctx, inst, e, &err);
                if (reg.count(e) != 0) {
                    uint32_t rerr = 0;
                    f.list->remove(rt->h, rt->ctx, inst, e, &rerr);
                    if (rerr == 0) drop(rt, *kTypes[f.ref], e);
                }
                e = next;
            }
        }
    }
}

bool list_types_init(PyObject *module) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(list_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(list_repr)},
        {Py_tp_iter, reinterpret_cast<void *>(list_iter)},
        {Py_tp_richcompare, reinterpret_cast<void *>(list_richcompare)},
        {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
        {Py_mp_length, reinterpret_cast<void *>(list_len)},
        {Py_mp_subscript, reinterpret_cast<void *>(list_subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void *>(list_ass_subscript)},
        {Py_sq_length, reinterpret_cast<void *>(list_len)},
        {Py_tp_methods, list_methods},
        {Py_tp_doc, const_cast<char *>(
                        "A list field of a record: a mutable sequence of its elements, each a view into the list "
                        "(an element removed while a view of it is held becomes a record of its own).  Indexing "
                        "walks the list from its nearer end.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"drov_def.RecordList", sizeof(ListObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_SEQUENCE,
                               slots};
    static PyType_Slot iter_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(iter_dealloc)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
        {0, nullptr},
    };
    static PyType_Spec iter_spec = {"drov_def.RecordListIterator", sizeof(ListIter), 0, Py_TPFLAGS_DEFAULT,
                                    iter_slots};
    ListType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    ListIterType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&iter_spec));
    return ListType != nullptr && ListIterType != nullptr &&
           PyModule_AddObjectRef(module, "RecordList", reinterpret_cast<PyObject *>(ListType)) == 0;
}

} // namespace drovpy
