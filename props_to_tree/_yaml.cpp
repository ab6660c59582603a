// YAML's nodes, composed from libyaml's events: what the YAML format reads a
// document as, and the events of a value given for one.  The nodes are those
// of PyYAML's C loader over the same libyaml, an untagged node's tag "" as
// that format's loader resolves it, and PyYAML's loader is the reference
// they are tested against, node for node.
//
// The composer keeps its own stack of open collections: a document nested
// as deep as libyaml reads (a thousand levels) takes no C stack.  Handlers
// return a new reference or NULL with an exception set; helpers return -1
// with the exception set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

#include <yaml.h>

namespace {

struct module_state {
    PyObject *node;  // the types
    PyObject *scalar;
    PyObject *sequence;
    PyObject *mapping;
    PyObject *mark;
    PyObject *error;      // the exception of libyaml and of the composer
    PyObject *styles[5];  // a scalar's: "", "'", '"', "|", ">"
    PyObject *empty;      // ""
};

module_state *
state_of(PyObject *module)
{
    return static_cast<module_state *>(PyModule_GetState(module));
}

// --- Marks ----------------------------------------------------------------

// Where a node starts or ends: libyaml's index (in characters), line and
// column, from 0.
struct mark_object {
    PyObject_HEAD Py_ssize_t index;
    Py_ssize_t line;
    Py_ssize_t column;
};

PyMemberDef mark_members[] = {
    {"index", Py_T_PYSSIZET, offsetof(mark_object, index), Py_READONLY,
     nullptr},
    {"line", Py_T_PYSSIZET, offsetof(mark_object, line), Py_READONLY, nullptr},
    {"column", Py_T_PYSSIZET, offsetof(mark_object, column), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject *
mark_repr(PyObject *op)
{
    auto *self = reinterpret_cast<mark_object *>(op);
    return PyUnicode_FromFormat("<Mark line %zd, column %zd>", self->line + 1,
                                self->column + 1);
}

void
mark_dealloc(PyObject *op)
{
    PyTypeObject *type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot mark_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(mark_dealloc)},
    {Py_tp_members, mark_members},
    {Py_tp_repr, reinterpret_cast<void *>(mark_repr)},
    {0, nullptr},
};

PyType_Spec mark_spec = {
    "props_to_tree._yaml.Mark",
    sizeof(mark_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE
        | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    mark_slots,
};

// The mark of `at`, less `shift` characters and `lines` lines.
PyObject *
make_mark(module_state *state, const yaml_mark_t &at, Py_ssize_t shift,
          Py_ssize_t lines)
{
    auto *type = reinterpret_cast<PyTypeObject *>(state->mark);
    auto *mark = reinterpret_cast<mark_object *>(type->tp_alloc(type, 0));
    if (mark == nullptr) {
        return nullptr;
    }
    mark->index = static_cast<Py_ssize_t>(at.index) - shift;
    mark->line = static_cast<Py_ssize_t>(at.line) - lines;
    mark->column = static_cast<Py_ssize_t>(at.column);
    return reinterpret_cast<PyObject *>(mark);
}

// --- Nodes ----------------------------------------------------------------

// A node: its tag, its value (a str; a list of nodes; a list of (key,
// value) pairs), a scalar's style or a collection's flow style (True, False,
// or None), and where it starts and ends.  A scalar holds no other object:
// its type is not the collector's to track.
struct node_object {
    PyObject_HEAD PyObject *tag;
    PyObject *value;
    PyObject *style;
    Py_ssize_t marks[6];  // start index, line, column; then the end's
};

// A node's mark, made when asked for: most are never read.
PyObject *
node_mark(PyObject *op, bool end)
{
    auto *self = reinterpret_cast<node_object *>(op);
    // The node's type is the module's own: its state is there.
    auto *state =
        static_cast<module_state *>(PyType_GetModuleState(Py_TYPE(op)));
    auto *type = reinterpret_cast<PyTypeObject *>(state->mark);
    auto *mark = reinterpret_cast<mark_object *>(type->tp_alloc(type, 0));
    if (mark == nullptr) {
        return nullptr;
    }
    const Py_ssize_t *at = self->marks + (end ? 3 : 0);
    mark->index = at[0];
    mark->line = at[1];
    mark->column = at[2];
    return reinterpret_cast<PyObject *>(mark);
}

PyObject *
node_start_mark(PyObject *op, void * /*closure*/)
{
    return node_mark(op, false);
}

PyObject *
node_end_mark(PyObject *op, void * /*closure*/)
{
    return node_mark(op, true);
}

PyGetSetDef node_getset[] = {
    {"start_mark", node_start_mark, nullptr, nullptr, nullptr},
    {"end_mark", node_end_mark, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef node_members[] = {
    {"tag", Py_T_OBJECT_EX, offsetof(node_object, tag), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef scalar_members[] = {
    {"value", Py_T_OBJECT_EX, offsetof(node_object, value), Py_READONLY,
     nullptr},
    {"style", Py_T_OBJECT_EX, offsetof(node_object, style), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef collection_members[] = {
    {"value", Py_T_OBJECT_EX, offsetof(node_object, value), Py_READONLY,
     nullptr},
    {"flow_style", Py_T_OBJECT_EX, offsetof(node_object, style), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject *
node_repr(PyObject *op)
{
    auto *self = reinterpret_cast<node_object *>(op);
    return PyUnicode_FromFormat("%s(tag=%R, value=%R)",
                                _PyType_Name(Py_TYPE(op)), self->tag,
                                self->value);
}

void
scalar_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<node_object *>(op);
    PyTypeObject *type = Py_TYPE(op);
    Py_XDECREF(self->tag);
    Py_XDECREF(self->value);
    Py_XDECREF(self->style);
    type->tp_free(op);
    Py_DECREF(type);
}

int
collection_traverse(PyObject *op, visitproc visit, void *arg)
{
    auto *self = reinterpret_cast<node_object *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->value);
    return 0;
}

int
collection_clear(PyObject *op)
{
    auto *self = reinterpret_cast<node_object *>(op);
    Py_CLEAR(self->value);
    return 0;
}

void
collection_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<node_object *>(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    // clang-format off
    Py_TRASHCAN_BEGIN(op, collection_dealloc)
    Py_CLEAR(self->tag);
    Py_CLEAR(self->value);
    Py_CLEAR(self->style);
    type->tp_free(op);
    Py_DECREF(type);  // within: a deallocation put off comes back here
    Py_TRASHCAN_END
    // clang-format on
}

PyType_Slot node_slots[] = {
    {Py_tp_getset, node_getset},
    {Py_tp_members, node_members},
    {Py_tp_dealloc, reinterpret_cast<void *>(scalar_dealloc)},
    {0, nullptr},
};

PyType_Slot scalar_slots[] = {
    {Py_tp_members, scalar_members},
    {Py_tp_repr, reinterpret_cast<void *>(node_repr)},
    {Py_tp_dealloc, reinterpret_cast<void *>(scalar_dealloc)},
    {0, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_members, collection_members},
    {Py_tp_repr, reinterpret_cast<void *>(node_repr)},
    {Py_tp_dealloc, reinterpret_cast<void *>(collection_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(collection_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(collection_clear)},
    {0, nullptr},
};

constexpr unsigned long node_flags = Py_TPFLAGS_DEFAULT
                                     | Py_TPFLAGS_IMMUTABLETYPE
                                     | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec node_spec = {"props_to_tree._yaml.Node", sizeof(node_object), 0,
                         node_flags | Py_TPFLAGS_BASETYPE, node_slots};
PyType_Spec scalar_spec = {"props_to_tree._yaml.ScalarNode",
                           sizeof(node_object), 0, node_flags, scalar_slots};
PyType_Spec sequence_spec = {
    "props_to_tree._yaml.SequenceNode", sizeof(node_object), 0,
    node_flags | Py_TPFLAGS_HAVE_GC, collection_slots};
PyType_Spec mapping_spec = {"props_to_tree._yaml.MappingNode",
                            sizeof(node_object), 0,
                            node_flags | Py_TPFLAGS_HAVE_GC, collection_slots};

// --- Errors ---------------------------------------------------------------

// An error with PyYAML's attributes, by which the format words it: a
// reader's (`position`, a byte, `character`, `reason`), else `context`,
// `context_mark`, `problem` and `problem_mark`.
int
set_attributes(PyObject *error, const char *const *names, PyObject **values,
               int count)
{
    int status = 0;
    for (int i = 0; i < count; i++) {
        if (values[i] == nullptr
            || (status == 0
                && PyObject_SetAttrString(error, names[i], values[i]) < 0))
        {
            status = -1;
        }
    }
    for (int i = 0; i < count; i++) {
        Py_XDECREF(values[i]);
    }
    return status;
}

void
raise_marked(module_state *state, const char *context, PyObject *context_mark,
             const char *problem, PyObject *problem_mark)
{
    // Steals both marks.
    PyObject *said = PyUnicode_FromString(problem);
    PyObject *error =
        said == nullptr ? nullptr : PyObject_CallOneArg(state->error, said);
    Py_XDECREF(said);
    static const char *const names[] = {"context", "context_mark", "problem",
                                        "problem_mark"};
    PyObject *values[] = {
        context != nullptr ? PyUnicode_FromString(context)
                           : Py_NewRef(Py_None),
        context_mark != nullptr ? context_mark : Py_NewRef(Py_None),
        PyUnicode_FromString(problem),
        problem_mark != nullptr ? problem_mark : Py_NewRef(Py_None),
    };
    if (error != nullptr && set_attributes(error, names, values, 4) == 0) {
        PyErr_SetObject(state->error, error);
    }
    else if (error == nullptr) {
        for (PyObject *value : values) {
            Py_XDECREF(value);
        }
    }
    Py_XDECREF(error);
}

// libyaml's error, as PyYAML's C loader raises it.
void
raise_parser_error(module_state *state, const yaml_parser_t &parser,
                   Py_ssize_t shift, Py_ssize_t lines)
{
    if (parser.error == YAML_MEMORY_ERROR) {
        PyErr_NoMemory();
        return;
    }
    const char *problem = parser.problem != nullptr ? parser.problem : "?";
    if (parser.error == YAML_READER_ERROR) {
        PyObject *said = PyUnicode_FromString(problem);
        PyObject *error = said == nullptr
                              ? nullptr
                              : PyObject_CallOneArg(state->error, said);
        Py_XDECREF(said);
        static const char *const names[] = {"position", "character", "reason",
                                            "problem", "problem_mark"};
        PyObject *values[] = {
            PyLong_FromSize_t(parser.problem_offset),
            PyLong_FromLong(parser.problem_value),
            PyUnicode_FromString(problem),
            Py_NewRef(Py_None),
            Py_NewRef(Py_None),
        };
        if (error != nullptr && set_attributes(error, names, values, 5) == 0) {
            PyErr_SetObject(state->error, error);
        }
        else if (error == nullptr) {
            for (PyObject *value : values) {
                Py_XDECREF(value);
            }
        }
        Py_XDECREF(error);
        return;
    }
    PyObject *context_mark = nullptr;
    if (parser.context != nullptr) {
        context_mark = make_mark(state, parser.context_mark, shift, lines);
        if (context_mark == nullptr) {
            return;
        }
    }
    PyObject *problem_mark =
        make_mark(state, parser.problem_mark, shift, lines);
    if (problem_mark == nullptr) {
        Py_XDECREF(context_mark);
        return;
    }
    raise_marked(state, parser.context, context_mark, problem, problem_mark);
}

// --- Composing ------------------------------------------------------------

// The text as UTF-8, for libyaml: a str of ASCII is its own, any other is
// encoded into `*held` (a lone surrogate raises, as PyYAML's loader does).
// libyaml is left to find the encoding, as PyYAML's loader leaves it: a
// byte-order mark first is read past, and counts for no character.
const char *
utf8_of(PyObject *text, Py_ssize_t *length, PyObject **held)
{
    *held = nullptr;
    if (PyUnicode_IS_ASCII(text)) {
        return PyUnicode_AsUTF8AndSize(text, length);
    }
    *held = PyUnicode_AsUTF8String(text);
    if (*held == nullptr) {
        return nullptr;
    }
    *length = PyBytes_GET_SIZE(*held);
    return PyBytes_AS_STRING(*held);
}

struct open_node {
    node_object *node;  // borrowed: the stack holds it in `held`
    PyObject *key;      // a mapping's key, waiting for its value
    bool flow;
    bool indented;  // a block collection more indented than the one
                    // around it: a level of libyaml's block nesting
};

// How deep PyYAML's libyaml nests, a newer one than some systems have: a
// block collection more indented than the one it is in is a level, a flow
// collection one more; its scanner refuses the thousandth block level, and
// a flow collection past a thousand levels of both.
constexpr Py_ssize_t nesting = 1000;

struct composer {
    module_state *state;
    Py_ssize_t shift;
    Py_ssize_t lines;
    open_node *stack;
    Py_ssize_t depth;
    Py_ssize_t capacity;
    PyObject *held;     // a list holding the open nodes
    PyObject *anchors;  // the document's: name -> node
    PyObject *tags;     // tags met: bytes -> str, each made once
    PyObject *root;
    const unsigned char *text;  // the UTF-8 read, for the mark of an error
    Py_ssize_t length;
    Py_ssize_t levels;   // of block and flow nesting, as libyaml counts them
    bool too_deep;       // a block mapping past the bound: its first key's
                         // ":" is where libyaml says so
    Py_ssize_t deepest;  // the caller's bound of nesting, 0 for none
};

void
composer_free(composer *c)
{
    for (Py_ssize_t i = 0; i < c->depth; i++) {
        Py_XDECREF(c->stack[i].key);
    }
    PyMem_Free(c->stack);
    c->stack = nullptr;
    c->depth = 0;
    Py_CLEAR(c->held);
    Py_CLEAR(c->anchors);
    Py_CLEAR(c->tags);
    Py_CLEAR(c->root);
}

void
set_marks(const composer *c, node_object *node, const yaml_event_t &event,
          bool start, bool end)
{
    if (start) {
        node->marks[0] =
            static_cast<Py_ssize_t>(event.start_mark.index) - c->shift;
        node->marks[1] =
            static_cast<Py_ssize_t>(event.start_mark.line) - c->lines;
        node->marks[2] = static_cast<Py_ssize_t>(event.start_mark.column);
    }
    if (end) {
        node->marks[3] =
            static_cast<Py_ssize_t>(event.end_mark.index) - c->shift;
        node->marks[4] =
            static_cast<Py_ssize_t>(event.end_mark.line) - c->lines;
        node->marks[5] = static_cast<Py_ssize_t>(event.end_mark.column);
    }
}

// A node's tag: "" for none, or "!" alone, as the format's loader resolves
// them; else the tag as libyaml read it.
PyObject *
tag_of(composer *c, const yaml_char_t *tag)
{
    if (tag == nullptr || (tag[0] == '!' && tag[1] == '\0')) {
        return Py_NewRef(c->state->empty);
    }
    const char *chars = reinterpret_cast<const char *>(tag);
    auto length = static_cast<Py_ssize_t>(std::strlen(chars));
    PyObject *key = PyBytes_FromStringAndSize(chars, length);
    if (key == nullptr) {
        return nullptr;
    }
    PyObject *found = PyDict_GetItemWithError(c->tags, key);
    if (found != nullptr) {
        Py_DECREF(key);
        return Py_NewRef(found);
    }
    PyObject *made = PyErr_Occurred()
                         ? nullptr
                         : PyUnicode_DecodeUTF8(chars, length, "strict");
    if (made != nullptr && PyDict_SetItem(c->tags, key, made) < 0) {
        Py_CLEAR(made);
    }
    Py_DECREF(key);
    return made;
}

node_object *
new_node(PyObject *type_object)
{
    auto *type = reinterpret_cast<PyTypeObject *>(type_object);
    return reinterpret_cast<node_object *>(type->tp_alloc(type, 0));
}

// Keeps `node` under its anchor, unless the document has that anchor: an
// error, as PyYAML's loader says it.
int
anchor_node(composer *c, const yaml_char_t *anchor, PyObject *node,
            const yaml_event_t &event)
{
    if (anchor == nullptr) {
        return 0;
    }
    PyObject *name =
        PyUnicode_FromString(reinterpret_cast<const char *>(anchor));
    if (name == nullptr) {
        return -1;
    }
    PyObject *first = PyDict_GetItemWithError(c->anchors, name);
    if (first != nullptr) {
        Py_DECREF(name);
        PyObject *first_mark = node_mark(first, false);
        PyObject *second =
            first_mark == nullptr
                ? nullptr
                : make_mark(c->state, event.start_mark, c->shift, c->lines);
        if (second == nullptr) {
            Py_XDECREF(first_mark);
            return -1;
        }
        raise_marked(c->state, "found duplicate anchor; first occurrence",
                     first_mark, "second occurrence", second);
        return -1;
    }
    int status =
        PyErr_Occurred() ? -1 : PyDict_SetItem(c->anchors, name, node);
    Py_DECREF(name);
    return status;
}

// Puts a node made whole where it goes: the document's top, an item, a key,
// or a value with its key.  Steals `node`.
int
place(composer *c, PyObject *node)
{
    if (c->depth == 0) {
        Py_XSETREF(c->root, node);
        return 0;
    }
    open_node *top = &c->stack[c->depth - 1];
    PyObject *value = top->node->value;
    if (Py_IS_TYPE(top->node,
                   reinterpret_cast<PyTypeObject *>(c->state->sequence)))
    {
        int status = PyList_Append(value, node);
        Py_DECREF(node);
        return status;
    }
    if (top->key == nullptr) {
        top->key = node;
        return 0;
    }
    PyObject *pair = PyTuple_Pack(2, top->key, node);
    Py_CLEAR(top->key);
    if (pair == nullptr) {
        Py_DECREF(node);
        return -1;
    }
    // A pair of scalars holds no cycle: not the collector's to visit.
    auto *scalar = reinterpret_cast<PyTypeObject *>(c->state->scalar);
    if (Py_IS_TYPE(PyTuple_GET_ITEM(pair, 0), scalar)
        && Py_IS_TYPE(node, scalar)) {
        PyObject_GC_UnTrack(pair);
    }
    Py_DECREF(node);
    int status = PyList_Append(value, pair);
    Py_DECREF(pair);
    return status;
}

// The byte where the character `index` starts: marks count characters.
Py_ssize_t
byte_at(const composer *c, size_t index)
{
    Py_ssize_t at = 0;
    for (size_t count = 0; count < index && at < c->length; count++) {
        unsigned char byte = c->text[at];
        at += byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
    }
    return at;
}

// The mark of the ":" after a key that ends at the character `index`.
yaml_mark_t
mark_at(const composer *c, size_t index, const yaml_mark_t &near)
{
    yaml_mark_t mark = near;
    Py_ssize_t at = byte_at(c, index);
    // A key is on one line: its ":" follows it there, after any blanks.
    while (at < c->length && (c->text[at] == ' ' || c->text[at] == '\t')) {
        at++;
        mark.index++;
        mark.column++;
    }
    return mark;
}

void
raise_too_deep(composer *c, const char *context, const yaml_mark_t &at)
{
    PyObject *first = make_mark(c->state, at, c->shift, c->lines);
    PyObject *second = first == nullptr
                           ? nullptr
                           : make_mark(c->state, at, c->shift, c->lines);
    if (second == nullptr) {
        Py_XDECREF(first);
        return;
    }
    raise_marked(c->state, context, first, "exceeded maximum nesting depth",
                 second);
}

// Counts the level a collection opens, as libyaml's scanner would: -1 where
// that refuses it, with libyaml's error.
int
count_level(composer *c, const yaml_event_t &event, bool mapping, bool flow,
            bool *indented)
{
    *indented = false;
    if (flow) {
        if (c->levels + 1 > nesting) {
            raise_too_deep(c, "while increasing flow level", event.start_mark);
            return -1;
        }
        c->levels++;
        return 0;
    }
    // Deeper than the block collection around it, or at the top; a list
    // at its mapping's own indentation is no level.
    auto column = static_cast<Py_ssize_t>(event.start_mark.column);
    Py_ssize_t around = -1;
    for (Py_ssize_t d = c->depth - 1; d >= 0; d--) {
        if (!c->stack[d].flow) {
            around = c->stack[d].node->marks[2];
            break;
        }
    }
    if (column <= around) {
        return 0;
    }
    *indented = true;
    if (c->levels + 1 < nesting) {
        c->levels++;
        return 0;
    }
    Py_ssize_t at = byte_at(c, event.start_mark.index);
    bool explicit_key = mapping && at < c->length && c->text[at] == '?';
    if (mapping && !explicit_key) {
        c->too_deep = true;  // said at the key's ":"
        c->levels++;
        return 0;
    }
    raise_too_deep(c, "while increasing block level", event.start_mark);
    return -1;
}

int
open_collection(composer *c, const yaml_event_t &event, bool mapping)
{
    // Deeper than the caller's walks of the nodes go: said as they would.
    if (c->deepest > 0 && c->depth >= c->deepest) {
        PyErr_SetString(PyExc_RecursionError,
                        "the document is nested too deeply");
        return -1;
    }
    const auto &data = event.data;
    node_object *node =
        new_node(mapping ? c->state->mapping : c->state->sequence);
    if (node == nullptr) {
        return -1;
    }
    set_marks(c, node, event, true, false);
    int style = mapping ? static_cast<int>(data.mapping_start.style)
                        : static_cast<int>(data.sequence_start.style);
    bool flow = mapping ? style == YAML_FLOW_MAPPING_STYLE
                        : style == YAML_FLOW_SEQUENCE_STYLE;
    bool block = mapping ? style == YAML_BLOCK_MAPPING_STYLE
                         : style == YAML_BLOCK_SEQUENCE_STYLE;
    bool indented;
    if (count_level(c, event, mapping, flow, &indented) < 0) {
        Py_DECREF(node);
        return -1;
    }
    node->style = Py_NewRef(flow ? Py_True : block ? Py_False : Py_None);
    node->tag =
        tag_of(c, mapping ? data.mapping_start.tag : data.sequence_start.tag);
    node->value = PyList_New(0);
    auto *op = reinterpret_cast<PyObject *>(node);
    if (node->tag == nullptr || node->value == nullptr
        || anchor_node(c,
                       mapping ? data.mapping_start.anchor
                               : data.sequence_start.anchor,
                       op, event)
               < 0
        || PyList_Append(c->held, op) < 0)
    {
        Py_DECREF(op);
        return -1;
    }
    Py_DECREF(op);  // the held list keeps it while it is open
    if (c->depth == c->capacity) {
        Py_ssize_t capacity = c->capacity < 16 ? 16 : 2 * c->capacity;
        open_node *stack = c->stack;
        PyMem_Resize(stack, open_node, capacity);
        if (stack == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        c->stack = stack;
        c->capacity = capacity;
    }
    c->stack[c->depth++] = open_node{node, nullptr, flow, indented};
    return 0;
}

int
close_collection(composer *c, const yaml_event_t &event)
{
    if (c->depth == 0) {  // libyaml ends only what it started
        PyErr_SetString(PyExc_RuntimeError, "an end of no collection");
        return -1;
    }
    open_node top = c->stack[--c->depth];
    c->levels -= top.flow || top.indented ? 1 : 0;
    Py_XDECREF(top.key);  // none: libyaml pairs every key
    set_marks(c, top.node, event, false, true);
    Py_ssize_t last = PyList_GET_SIZE(c->held) - 1;
    PyObject *node = Py_NewRef(PyList_GET_ITEM(c->held, last));
    if (PyList_SetSlice(c->held, last, last + 1, nullptr) < 0) {
        Py_DECREF(node);
        return -1;
    }
    return place(c, node);
}

int
add_scalar(composer *c, const yaml_event_t &event)
{
    const auto &scalar = event.data.scalar;
    node_object *node = new_node(c->state->scalar);
    if (node == nullptr) {
        return -1;
    }
    set_marks(c, node, event, true, true);
    int style = 0;
    switch (scalar.style) {
    case YAML_SINGLE_QUOTED_SCALAR_STYLE:
        style = 1;
        break;
    case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
        style = 2;
        break;
    case YAML_LITERAL_SCALAR_STYLE:
        style = 3;
        break;
    case YAML_FOLDED_SCALAR_STYLE:
        style = 4;
        break;
    default:
        break;
    }
    node->style = Py_NewRef(c->state->styles[style]);
    node->tag = tag_of(c, scalar.tag);
    node->value =
        PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(scalar.value),
                             static_cast<Py_ssize_t>(scalar.length), "strict");
    auto *op = reinterpret_cast<PyObject *>(node);
    if (node->tag == nullptr || node->value == nullptr
        || anchor_node(c, scalar.anchor, op, event) < 0)
    {
        Py_DECREF(op);
        return -1;
    }
    return place(c, op);
}

int
add_alias(composer *c, const yaml_event_t &event)
{
    const char *anchor =
        reinterpret_cast<const char *>(event.data.alias.anchor);
    PyObject *name = PyUnicode_FromString(anchor);
    if (name == nullptr) {
        return -1;
    }
    PyObject *node = PyDict_GetItemWithError(c->anchors, name);
    Py_DECREF(name);
    if (node != nullptr) {
        return place(c, Py_NewRef(node));
    }
    if (!PyErr_Occurred()) {
        PyObject *mark =
            make_mark(c->state, event.start_mark, c->shift, c->lines);
        if (mark != nullptr) {
            raise_marked(c->state, nullptr, nullptr, "found undefined alias",
                         mark);
        }
    }
    return -1;
}

// compose_all(text, shift=0, lines=0, deepest=0): the nodes of each document
// of `text` (None for one of nothing), as PyYAML's compose_all gives them
// with the format's loader; marks `shift` characters and `lines` lines less;
// RecursionError for collections nested more than `deepest` deep (0: only
// libyaml's bound).
PyObject *
compose_all(PyObject *module, PyObject *args)
{
    PyObject *text;
    Py_ssize_t shift = 0, lines = 0;
    Py_ssize_t deepest = 0;
    if (!PyArg_ParseTuple(args, "U|nnn:compose_all", &text, &shift, &lines,
                          &deepest))
    {
        return nullptr;
    }
    Py_ssize_t length;
    PyObject *held;
    const char *utf8 = utf8_of(text, &length, &held);
    if (utf8 == nullptr) {
        return nullptr;
    }
    composer c{};
    c.state = state_of(module);
    c.text = reinterpret_cast<const unsigned char *>(utf8);
    c.length = length;
    c.deepest = deepest;
    c.shift = shift;
    c.lines = lines;
    c.held = PyList_New(0);
    c.anchors = PyDict_New();
    c.tags = PyDict_New();
    PyObject *documents = PyList_New(0);
    yaml_parser_t parser;
    bool parsing = false;
    if (c.held == nullptr || c.anchors == nullptr || c.tags == nullptr
        || documents == nullptr)
    {
        goto failed;
    }
    if (!yaml_parser_initialize(&parser)) {
        PyErr_NoMemory();
        goto failed;
    }
    parsing = true;
    yaml_parser_set_input_string(&parser,
                                 reinterpret_cast<const unsigned char *>(utf8),
                                 static_cast<size_t>(length));
    for (;;) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            raise_parser_error(c.state, parser, shift, lines);
            goto failed;
        }
        int status = 0;
        bool over = false;
        if (c.too_deep) {  // the mapping's first key came: its ":" is next
            bool scalar = event.type == YAML_SCALAR_EVENT
                          || event.type == YAML_ALIAS_EVENT;
            yaml_mark_t at =
                scalar ? mark_at(&c, event.end_mark.index, event.end_mark)
                       : event.start_mark;
            raise_too_deep(&c, "while increasing block level", at);
            yaml_event_delete(&event);
            goto failed;
        }
        switch (event.type) {
        case YAML_STREAM_END_EVENT:
            over = true;
            break;
        case YAML_DOCUMENT_START_EVENT:
            Py_CLEAR(c.root);
            break;
        case YAML_DOCUMENT_END_EVENT:
            status =
                PyList_Append(documents, c.root != nullptr ? c.root : Py_None);
            Py_CLEAR(c.root);
            PyDict_Clear(c.anchors);  // an anchor is its document's
            break;
        case YAML_ALIAS_EVENT:
            status = add_alias(&c, event);
            break;
        case YAML_SCALAR_EVENT:
            status = add_scalar(&c, event);
            break;
        case YAML_SEQUENCE_START_EVENT:
            status = open_collection(&c, event, false);
            break;
        case YAML_MAPPING_START_EVENT:
            status = open_collection(&c, event, true);
            break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            status = close_collection(&c, event);
            break;
        default:
            break;
        }
        yaml_event_delete(&event);
        if (status < 0) {
            goto failed;
        }
        if (over) {
            break;
        }
    }
    yaml_parser_delete(&parser);
    composer_free(&c);
    Py_XDECREF(held);
    return documents;

failed:
    if (parsing) {
        yaml_parser_delete(&parser);
    }
    composer_free(&c);
    Py_XDECREF(documents);
    Py_XDECREF(held);
    return nullptr;
}

// --- Events ---------------------------------------------------------------

// events(text): libyaml's events of `text`, for the check of a value given
// for a document, each a tuple (kind, start, end, anchor, tag, value, style,
// flag, version, tags): kind a name ("stream_start", "document_start",
// "document_end", "alias", "scalar", "sequence_start", "mapping_start",
// "sequence_end", "mapping_end", "stream_end"); where it starts and ends;
// an anchor, a tag, a scalar's value and style, or None; flag, whether a
// document's marker is written, or a collection is in flow style; version
// and tags, whether a document has a %YAML or %TAG directive.
PyObject *
event_tuple(const yaml_event_t &event)
{
    const char *kind = "";
    const yaml_char_t *anchor = nullptr, *tag = nullptr;
    PyObject *value = Py_NewRef(Py_None);
    const char *style = nullptr;
    bool flag = false, version = false, tags = false;
    const auto &data = event.data;
    switch (event.type) {
    case YAML_STREAM_START_EVENT:
        kind = "stream_start";
        break;
    case YAML_STREAM_END_EVENT:
        kind = "stream_end";
        break;
    case YAML_DOCUMENT_START_EVENT:
        kind = "document_start";
        flag = !data.document_start.implicit;
        version = data.document_start.version_directive != nullptr;
        tags = data.document_start.tag_directives.start
               != data.document_start.tag_directives.end;
        break;
    case YAML_DOCUMENT_END_EVENT:
        kind = "document_end";
        flag = !data.document_end.implicit;
        break;
    case YAML_ALIAS_EVENT:
        kind = "alias";
        anchor = data.alias.anchor;
        break;
    case YAML_SCALAR_EVENT: {
        kind = "scalar";
        anchor = data.scalar.anchor;
        tag = data.scalar.tag;
        Py_SETREF(value,
                  PyUnicode_DecodeUTF8(
                      reinterpret_cast<const char *>(data.scalar.value),
                      static_cast<Py_ssize_t>(data.scalar.length), "strict"));
        static const char *const styles[] = {"", "", "'", "\"", "|", ">"};
        int at = static_cast<int>(data.scalar.style);
        style = at >= 0 && at < 6 ? styles[at] : "";
        break;
    }
    case YAML_SEQUENCE_START_EVENT:
        kind = "sequence_start";
        anchor = data.sequence_start.anchor;
        tag = data.sequence_start.tag;
        flag = data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
        break;
    case YAML_MAPPING_START_EVENT:
        kind = "mapping_start";
        anchor = data.mapping_start.anchor;
        tag = data.mapping_start.tag;
        flag = data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
        break;
    case YAML_SEQUENCE_END_EVENT:
        kind = "sequence_end";
        break;
    default:  // YAML_MAPPING_END_EVENT, the one left
        kind = "mapping_end";
        break;
    }
    if (value == nullptr) {
        return nullptr;
    }
    return Py_BuildValue(
        "(snnzzNzOOO)", kind, static_cast<Py_ssize_t>(event.start_mark.index),
        static_cast<Py_ssize_t>(event.end_mark.index),
        reinterpret_cast<const char *>(anchor),
        reinterpret_cast<const char *>(tag), value, style,
        flag ? Py_True : Py_False, version ? Py_True : Py_False,
        tags ? Py_True : Py_False);
}

PyObject *
events(PyObject *module, PyObject *args)
{
    PyObject *text;
    if (!PyArg_ParseTuple(args, "U:events", &text)) {
        return nullptr;
    }
    Py_ssize_t length;
    PyObject *held;
    const char *utf8 = utf8_of(text, &length, &held);
    if (utf8 == nullptr) {
        return nullptr;
    }
    PyObject *found = PyList_New(0);
    yaml_parser_t parser;
    if (found == nullptr || !yaml_parser_initialize(&parser)) {
        if (found != nullptr) {
            PyErr_NoMemory();
        }
        Py_XDECREF(found);
        Py_XDECREF(held);
        return nullptr;
    }
    yaml_parser_set_input_string(&parser,
                                 reinterpret_cast<const unsigned char *>(utf8),
                                 static_cast<size_t>(length));
    bool over = false;
    while (!over) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            raise_parser_error(state_of(module), parser, 0, 0);
            Py_CLEAR(found);
            break;
        }
        over = event.type == YAML_STREAM_END_EVENT;
        PyObject *made = event_tuple(event);
        yaml_event_delete(&event);
        if (made == nullptr || PyList_Append(found, made) < 0) {
            Py_XDECREF(made);
            Py_CLEAR(found);
            break;
        }
        Py_DECREF(made);
    }
    yaml_parser_delete(&parser);
    Py_XDECREF(held);
    return found;
}

// --- Module ---------------------------------------------------------------

int
yaml_traverse(PyObject *module, visitproc visit, void *arg)
{
    module_state *state = state_of(module);
    Py_VISIT(state->node);
    Py_VISIT(state->scalar);
    Py_VISIT(state->sequence);
    Py_VISIT(state->mapping);
    Py_VISIT(state->mark);
    Py_VISIT(state->error);
    return 0;
}

int
yaml_clear(PyObject *module)
{
    module_state *state = state_of(module);
    Py_CLEAR(state->node);
    Py_CLEAR(state->scalar);
    Py_CLEAR(state->sequence);
    Py_CLEAR(state->mapping);
    Py_CLEAR(state->mark);
    Py_CLEAR(state->error);
    for (PyObject *&style : state->styles) {
        Py_CLEAR(style);
    }
    Py_CLEAR(state->empty);
    return 0;
}

void
yaml_free(void *module)
{
    yaml_clear(static_cast<PyObject *>(module));
}

PyMethodDef yaml_methods[] = {
    {"compose_all", compose_all, METH_VARARGS, nullptr},
    {"events", events, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "_yaml",      "",
    sizeof(module_state),  yaml_methods, nullptr,
    yaml_traverse,         yaml_clear,   yaml_free,
};

// The module's types and constants, kept in its state: -1 on failure.
int
yaml_fill(PyObject *module)
{
    module_state *state = state_of(module);
    state->node = PyType_FromModuleAndSpec(module, &node_spec, nullptr);
    if (state->node == nullptr) {
        return -1;
    }
    state->scalar =
        PyType_FromModuleAndSpec(module, &scalar_spec, state->node);
    state->sequence =
        PyType_FromModuleAndSpec(module, &sequence_spec, state->node);
    state->mapping =
        PyType_FromModuleAndSpec(module, &mapping_spec, state->node);
    state->mark = PyType_FromModuleAndSpec(module, &mark_spec, nullptr);
    state->error = PyErr_NewException("props_to_tree._yaml.Error",
                                      PyExc_ValueError, nullptr);
    static const char *const styles[] = {"", "'", "\"", "|", ">"};
    for (int i = 0; i < 5; i++) {
        state->styles[i] = PyUnicode_InternFromString(styles[i]);
        if (state->styles[i] == nullptr) {
            return -1;
        }
    }
    state->empty = Py_NewRef(state->styles[0]);
    if (state->scalar == nullptr || state->sequence == nullptr
        || state->mapping == nullptr || state->mark == nullptr
        || state->error == nullptr
        || PyModule_AddObjectRef(module, "Node", state->node) < 0
        || PyModule_AddObjectRef(module, "ScalarNode", state->scalar) < 0
        || PyModule_AddObjectRef(module, "SequenceNode", state->sequence) < 0
        || PyModule_AddObjectRef(module, "MappingNode", state->mapping) < 0
        || PyModule_AddObjectRef(module, "Mark", state->mark) < 0
        || PyModule_AddObjectRef(module, "Error", state->error) < 0)
    {
        return -1;
    }
    return 0;
}

}  // namespace

PyMODINIT_FUNC
PyInit__yaml()
{
    PyObject *module = PyModule_Create2(&moduledef, PYTHON_API_VERSION);
    if (module != nullptr && yaml_fill(module) < 0) {
        Py_CLEAR(module);
    }
    return module;
}
