// Conversion between a nested dict (a tree) and a flat dict whose keys are
// the dot-joined paths to the tree's leaves (a properties mapping).
//
// Every failure is the exception of the host operation that failed; this
// module sets none of its own.  Internal helpers return -1 with that
// exception set, handlers return a new reference or NULL.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace {

// --- Flattening -----------------------------------------------------------

// One open branch of the walk: the dict and the position reached in it.
struct branch_frame {
    PyObject *dict;
    Py_ssize_t pos;
};

// Most trees are shallow; only deeper ones pay for a heap-allocated stack.
constexpr Py_ssize_t inline_frames = 32;

// Doubles the frame stack.  The first growth moves it off `inline_stack`.
int
grow_frames(branch_frame **stack, Py_ssize_t *capacity,
            branch_frame *inline_stack)
{
    Py_ssize_t new_capacity = *capacity * 2;
    branch_frame *grown;
    if (*stack == inline_stack) {
        grown = PyMem_New(branch_frame, new_capacity);
        if (grown != nullptr) {
            std::memcpy(grown, inline_stack, sizeof(branch_frame) * *capacity);
        }
    }
    else {
        grown = *stack;
        PyMem_Resize(grown, branch_frame, new_capacity);
    }
    if (grown == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    *stack = grown;
    *capacity = new_capacity;
    return 0;
}

// Removes the last key of the path list.
int
pop_name(PyObject *names)
{
    return PySequence_DelItem(names, PyList_GET_SIZE(names) - 1);
}

// Walks `curr_node` depth first, storing every leaf into `to_add` under the
// keys of `names` joined with ".", in the order the leaves are met.
//
// The walk descends through a stack of open branches on the heap rather than
// through native calls, so depth costs memory and never native stack: a
// worker thread with a small stack is as safe as the main thread.  Each open
// branch still counts against the host's recursion limit, which is what turns
// a tree that contains itself into a RecursionError instead of an endless
// walk.
//
// The dicts on the stack are borrowed.  Nothing here can run Python code:
// dicts are read through their storage, the path keys joined and stored are
// exact strings, `to_add` is a plain dict, and every reference released is
// also held by the tree, so nothing can change or free the tree while it is
// walked.
int
_recursive(PyObject *names, PyObject *to_add, PyObject *curr_node)
{
    branch_frame inline_stack[inline_frames];
    branch_frame *stack = inline_stack;
    Py_ssize_t capacity = inline_frames;
    Py_ssize_t depth = 0;
    int status = -1;

    PyObject *sep = PyUnicode_FromString(".");
    if (sep == nullptr) {
        return -1;
    }
    if (Py_EnterRecursiveCall("")) {
        goto done;
    }
    stack[depth++] = branch_frame{curr_node, 0};

    while (depth > 0) {
        branch_frame *top = &stack[depth - 1];
        PyObject *key, *value;
        if (!PyDict_Next(top->dict, &top->pos, &key, &value)) {
            // The branch is exhausted: back to its parent, whose key for it
            // ends the path.  The root has no such key.
            --depth;
            Py_LeaveRecursiveCall();
            if (depth > 0 && pop_name(names) < 0) {
                goto done;
            }
            continue;
        }
        if (PyList_Append(names, key) < 0) {
            goto done;
        }
        if (PyDict_Check(value)) {
            if (depth == capacity
                && grow_frames(&stack, &capacity, inline_stack) < 0) {
                goto done;
            }
            if (Py_EnterRecursiveCall("")) {
                goto done;
            }
            stack[depth++] = branch_frame{value, 0};
            continue;
        }
        // A leaf.  Keys are joined only here, so a key that is not a string
        // fails only when a leaf lies beneath it.
        PyObject *path = PyUnicode_Join(sep, names);
        if (path == nullptr) {
            goto done;
        }
        int stored = PyDict_SetItem(to_add, path, value);
        Py_DECREF(path);
        if (stored < 0 || pop_name(names) < 0) {
            goto done;
        }
    }
    status = 0;

done:
    for (; depth > 0; --depth) {
        Py_LeaveRecursiveCall();
    }
    if (stack != inline_stack) {
        PyMem_Free(stack);
    }
    Py_DECREF(sep);
    return status;
}

PyObject *
tree_to_props(PyObject * /* p_self */, PyObject *args)
{
    PyObject *tree;
    if (!PyArg_ParseTuple(args, "O!", &PyDict_Type, &tree)) {
        return nullptr;
    }
    PyObject *props = PyDict_New();
    if (props == nullptr) {
        return nullptr;
    }
    PyObject *names = PyList_New(0);
    if (names == nullptr) {
        Py_DECREF(props);
        return nullptr;
    }
    int status = _recursive(names, props, tree);
    Py_DECREF(names);
    if (status < 0) {
        Py_DECREF(props);
        return nullptr;
    }
    return props;
}

// --- Write-back -----------------------------------------------------------

// Cuts a path key into its components at every ".", reading the key's own
// cached UTF-8 text in place.  The byte 0x2E never occurs inside a multi-byte
// UTF-8 sequence, so cutting bytes at it cuts characters at ".".  The search
// is bounded by the text's length rather than by a terminating NUL, so a key
// holding U+0000 is cut at its dots like any other.
struct key_iterator {
    PyObject *key;     // borrowed: the caller keeps it alive
    const char *prev;  // start of the next component; NULL once done
    const char *end;   // one past the last byte of the text
};

enum key_step {
    key_step_failure = -1,
    key_step_more = 0,  // a component was produced and more follow
    key_step_last = 1,  // the component produced is the last one
};

int
key_iterator_init(key_iterator *it, PyObject *key)
{
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        return -1;
    }
    it->key = key;
    it->prev = text;
    it->end = text + size;
    return 0;
}

// Stores the next component, a new string, in *dst.  Must not be called
// again once it has reported key_step_last.
key_step
key_iterator_next(key_iterator *it, PyObject **dst)
{
    const char *start = it->prev;
    Py_ssize_t left = it->end - start;
    const auto *dot = static_cast<const char *>(std::memchr(start, '.', left));
    key_step step;
    Py_ssize_t length;
    if (dot == nullptr) {
        length = left;
        it->prev = nullptr;
        step = key_step_last;
    }
    else {
        length = dot - start;
        it->prev = dot + 1;
        step = key_step_more;
    }
    *dst = PyUnicode_FromStringAndSize(start, length);
    return *dst == nullptr ? key_step_failure : step;
}

PyObject *
props_to_tree(PyObject * /* p_self */, PyObject *args)
{
    PyObject *props, *tree;
    if (!PyArg_ParseTuple(args, "O!O", &PyDict_Type, &props, &tree)) {
        return nullptr;
    }

    Py_ssize_t pos = 0;
    PyObject *name, *value;
    PyObject *local = nullptr;
    PyObject *tmp_key = nullptr;
    key_iterator it;

    while (PyDict_Next(props, &pos, &name, &value)) {
        // Lookups and assignments may run code of the nodes that removes
        // this entry from `props`.  Own the entry while it is applied: the
        // iterator reads the key's text, and the value is stored last.
        Py_INCREF(name);
        Py_INCREF(value);
        if (key_iterator_init(&it, name) < 0) {
            goto error_in_loop;
        }
        local = Py_NewRef(tree);
        for (;;) {
            key_step step = key_iterator_next(&it, &tmp_key);
            if (step == key_step_failure) {
                goto error_in_loop;
            }
            if (step == key_step_last) {
                break;
            }
            PyObject *tmp_local = PyObject_GetItem(local, tmp_key);
            if (tmp_local == nullptr) {
                goto error_in_loop;
            }
            Py_CLEAR(tmp_key);
            Py_SETREF(local, tmp_local);
        }
        if (PyObject_SetItem(local, tmp_key, value) < 0) {
            goto error_in_loop;
        }
        Py_CLEAR(tmp_key);
        Py_CLEAR(local);
        Py_DECREF(name);
        Py_DECREF(value);
    }
    return Py_NewRef(tree);

error_in_loop:
    Py_XDECREF(tmp_key);
    Py_XDECREF(local);
    Py_DECREF(name);
    Py_DECREF(value);
    return nullptr;
}

// --- Module ---------------------------------------------------------------

PyMethodDef props_to_tree_methods[] = {
    {"_props_to_tree", props_to_tree, METH_VARARGS, ""},
    {"_tree_to_props", tree_to_props, METH_VARARGS, ""},
    {nullptr, nullptr, 0, nullptr},
};

// The host fills in the base part when it creates the module, so this record
// cannot be const.
PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "_props_to_tree",
    "",
    0,
    props_to_tree_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC
PyInit__props_to_tree()
{
    return PyModule_Create2(&moduledef, PYTHON_API_VERSION);
}
