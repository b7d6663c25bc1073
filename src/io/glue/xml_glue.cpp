// Python glue of the XML reader: `read_xml`, which turns a definition file
// into a tree of `Element`s (local name, attributes, children, text, line)
// for bitloom_io.xtce, and lists what the tree leaves out as events to be
// handed on in document order.
//
// The tree is the one the package's expat reader builds, element for
// element: the same names, attributes, text and lines, the same sections
// skipped and the same definitions handed on as units. Documents the native
// reader does not read give None, and the package reads them with expat.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "boundary.hpp"
#include "io/glue/parts.hpp"
#include "io/xml/reader.hpp"

namespace bitloom::io {

namespace {

// The attributes are kept as a tuple of names and values until `attrib` is
// asked for (the reader only ever calls `get`), and `children` is made when
// the first child comes or when it is asked for: most elements of a file
// have no child, and their dicts and lists would be much of the tree's cost.
struct Element {
    PyObject_HEAD  // NOLINT(readability-identifier-naming): the interpreter's macro
        PyObject* tag;
    PyObject* attrib;    // null until asked for, or set
    PyObject* pairs;     // (name, value, name, value, ...) while attrib is null; null for none
    PyObject* children;  // null until the first child, or until asked for
    PyObject* text;
    Py_ssize_t line;
};

PyObject* element_type = nullptr;

Element* as_element(PyObject* self) { return reinterpret_cast<Element*>(self); }

int element_traverse(PyObject* self, visitproc visit, void* arg) {
    Element* e = as_element(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(e->tag);
    Py_VISIT(e->attrib);
    Py_VISIT(e->pairs);
    Py_VISIT(e->children);
    Py_VISIT(e->text);
    return 0;
}

int element_clear(PyObject* self) {
    Element* e = as_element(self);
    Py_CLEAR(e->tag);
    Py_CLEAR(e->attrib);
    Py_CLEAR(e->pairs);
    Py_CLEAR(e->children);
    Py_CLEAR(e->text);
    return 0;
}

void element_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    element_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether `a` and `b` name the same element, with no Python code run for
// two exact strings (the names the tree is built with are interned, and so
// are the literals the reader looks them up with: most are the same object).
int same_name(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        // Two interned strings are equal only if they are one object.
        if (PyUnicode_CHECK_INTERNED(a) != 0 && PyUnicode_CHECK_INTERNED(b) != 0) return 0;
        const int order = PyUnicode_Compare(a, b);
        if (order == -1 && PyErr_Occurred()) return -1;
        return order == 0 ? 1 : 0;
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// get(key, default=None): an attribute's value.
PyObject* element_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "get() takes 1 or 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* fallback = nargs == 2 ? args[1] : Py_None;
    const Element* e = as_element(self);
    if (e->attrib == nullptr) {
        if (e->pairs == nullptr) return Py_NewRef(fallback);
        // A tuple cannot change, whatever comparing names runs.
        Ref pairs = Ref::borrow(e->pairs);
        for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(pairs.get()); i += 2) {
            const int same = same_name(PyTuple_GET_ITEM(pairs.get(), i), args[0]);
            if (same < 0) return nullptr;
            if (same != 0) return Py_NewRef(PyTuple_GET_ITEM(pairs.get(), i + 1));
        }
        return Py_NewRef(fallback);
    }
    if (PyDict_Check(e->attrib)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(e->attrib, args[0], &value) < 0) return nullptr;
        return value != nullptr ? value : Py_NewRef(fallback);
    }
    return PyObject_CallMethod(e->attrib, "get", "OO", args[0], fallback);
}

// The children whose tag is `tag`: the first (find) or all (findall).
PyObject* children_tagged(PyObject* self, PyObject* tag, bool all) {
    Ref found;
    if (all) {
        found = Ref::steal(PyList_New(0));
        if (!found) return nullptr;
    }
    // A list of Elements the tree made is walked as it is (nothing that runs
    // here can change it then); anything else through a copy, so that
    // whatever comparing names runs cannot change what is being walked.
    PyObject* given = as_element(self)->children;
    if (given == nullptr) return all ? found.release() : Py_NewRef(Py_None);
    const auto own = [&] {
        if (!PyList_CheckExact(given) || !PyUnicode_CheckExact(tag)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(given); ++i) {
            PyObject* child = PyList_GET_ITEM(given, i);
            if (Py_TYPE(child) != reinterpret_cast<PyTypeObject*>(element_type) ||
                !PyUnicode_CheckExact(as_element(child)->tag)) {
                return false;
            }
        }
        return true;
    };
    Ref children = own() ? Ref::borrow(given) : Ref::steal(PySequence_List(given));
    if (!children) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
        Ref child = Ref::borrow(PyList_GET_ITEM(children.get(), i));
        const bool element = Py_TYPE(child.get()) == reinterpret_cast<PyTypeObject*>(element_type);
        Ref child_tag = element ? Ref::borrow(as_element(child.get())->tag)
                                : Ref::steal(PyObject_GetAttrString(child.get(), "tag"));
        if (!child_tag) return nullptr;
        const int same = same_name(child_tag.get(), tag);
        if (same < 0) return nullptr;
        if (same == 0) continue;
        if (!all) return child.release();
        if (PyList_Append(found.get(), child.get()) < 0) return nullptr;
    }
    return all ? found.release() : Py_NewRef(Py_None);
}

PyObject* element_find(PyObject* self, PyObject* tag) { return children_tagged(self, tag, false); }
PyObject* element_findall(PyObject* self, PyObject* tag) { return children_tagged(self, tag, true); }

PyObject* element_attrib(PyObject* self, void*);

PyObject* element_repr(PyObject* self) {
    Ref attrib = Ref::steal(element_attrib(self, nullptr));
    if (!attrib) return nullptr;
    const Element* e = as_element(self);
    return PyUnicode_FromFormat("<%S line %zd %R>", e->tag, e->line, attrib.get());
}

PyMethodDef element_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(element_get)), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\nThe attribute `key`'s value, or `default`."},
    {"find", element_find, METH_O, "find($self, tag, /)\n--\n\nThe first child named `tag`, or None."},
    {"findall", element_findall, METH_O, "findall($self, tag, /)\n--\n\nThe children named `tag`, in order."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* element_attrib(PyObject* self, void*) {
    Element* e = as_element(self);
    if (e->attrib == nullptr) {
        Ref attrib = Ref::steal(PyDict_New());
        if (!attrib) return nullptr;
        if (e->pairs != nullptr) {
            for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(e->pairs); i += 2) {
                if (PyDict_SetItem(attrib.get(), PyTuple_GET_ITEM(e->pairs, i), PyTuple_GET_ITEM(e->pairs, i + 1)) <
                    0) {
                    return nullptr;
                }
            }
        }
        e->attrib = attrib.release();
        Py_CLEAR(e->pairs);
    }
    return Py_NewRef(e->attrib);
}

int element_set_attrib(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "attrib cannot be deleted");
        return -1;
    }
    Element* e = as_element(self);
    Py_XSETREF(e->attrib, Py_NewRef(value));
    Py_CLEAR(e->pairs);
    return 0;
}

// An element without children gives the empty tuple, made for nobody:
// asking is frequent, and a list made for every leaf would be the cost the
// lazy list saves. A list of children is set like any attribute.
PyObject* element_children(PyObject* self, void*) {
    const Element* e = as_element(self);
    return e->children == nullptr ? PyTuple_New(0) : Py_NewRef(e->children);
}

int element_set_children(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "children cannot be deleted");
        return -1;
    }
    Py_XSETREF(as_element(self)->children, Py_NewRef(value));
    return 0;
}

PyGetSetDef element_getset[] = {
    {"attrib", element_attrib, element_set_attrib, "Its attributes, by name without prefix.", nullptr},
    {"children", element_children, element_set_children, "Its child elements, in order (a list; () for none).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef element_members[] = {
    {"tag", Py_T_OBJECT_EX, offsetof(Element, tag), 0, "The element's name without its namespace prefix."},
    {"text", Py_T_OBJECT_EX, offsetof(Element, text), 0, "Its text, for the elements whose text is read."},
    {"line", Py_T_PYSSIZET, offsetof(Element, line), 0, "The line of its start tag."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot element_slots[] = {
    {Py_tp_doc, const_cast<char*>("One element of a definition file, as read_xml builds it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(element_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(element_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_methods, element_methods},
    {Py_tp_members, element_members},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "bitloom_io._native.Element",
    sizeof(Element),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    element_slots,
};

// What a name is to the tree: where its elements' children go, whether its
// text is kept, whether it starts a section that is skipped.
enum Role : std::uint8_t {
    unit_parent = 1,
    skipped_section = 2,
    text_element = 4,
    skipped_definition = 8,
};

struct Name {
    Ref str;
    std::uint8_t roles = 0;
};

class TreeBuilder final : public xml::Events {
public:
    TreeBuilder(PyObject* const* sets, PyObject* const* handlers)
        : sets_{sets[0], sets[1], sets[2], sets[3]}, handlers_{handlers[0], handlers[1], handlers[2]} {}

    bool start(std::string_view name, std::span<const xml::Attribute> attributes, std::size_t line) override {
        const Name* tag = intern(name);
        if (tag == nullptr) return false;
        if (skip_depth_ != 0) {
            ++skip_depth_;
            if ((tag->roles & skipped_definition) != 0) {
                Ref defined = Ref::borrow(Py_None);
                for (const xml::Attribute& attribute : attributes) {
                    if (attribute.name == "name") defined = Ref::steal(string(attribute.value));
                }
                if (!defined) return false;
                Ref at = Ref::steal(PyLong_FromSize_t(line));
                return at && call(handlers_[2], {tag->str.get(), defined.get(), at.get()});
            }
            return true;
        }
        if ((tag->roles & skipped_section) != 0 && !stack_.empty()) {
            skip_depth_ = 1;
            Ref at = Ref::steal(PyLong_FromSize_t(line));
            return at && call(handlers_[1], {tag->str.get(), at.get()});
        }
        Ref node = Ref::steal(PyObject_GC_New(PyObject, reinterpret_cast<PyTypeObject*>(element_type)));
        if (!node) return false;
        Element* e = as_element(node.get());
        e->tag = Py_NewRef(tag->str.get());
        e->attrib = nullptr;
        e->pairs = nullptr;
        e->children = nullptr;
        e->text = Py_NewRef(empty_.get());
        e->line = static_cast<Py_ssize_t>(line);
        PyObject_GC_Track(node.get());
        if (!attributes.empty()) {
            e->pairs = PyTuple_New(2 * static_cast<Py_ssize_t>(attributes.size()));
            if (e->pairs == nullptr) return false;
            Py_ssize_t at = 0;
            for (const xml::Attribute& attribute : attributes) {
                const Name* key = intern(attribute.name);
                if (key == nullptr) return false;
                PyObject* value = string(attribute.value);
                if (value == nullptr) return false;
                PyTuple_SET_ITEM(e->pairs, at, Py_NewRef(key->str.get()));
                PyTuple_SET_ITEM(e->pairs, at + 1, value);
                at += 2;
            }
        }
        if ((tag->roles & text_element) != 0) texts_.emplace_back();
        if (stack_.empty()) {
            root_ = Ref::borrow(node.get());
        } else if ((stack_.back().tag->roles & unit_parent) == 0) {
            Element* parent = as_element(stack_.back().node.get());
            if (parent->children == nullptr) {
                parent->children = PyList_New(0);
                if (parent->children == nullptr) return false;
            }
            if (PyList_Append(parent->children, node.get()) < 0) return false;
        }
        stack_.push_back({std::move(node), tag});
        return true;
    }

    bool end() override {
        if (skip_depth_ != 0) {
            --skip_depth_;
            return true;
        }
        Open closed = std::move(stack_.back());
        stack_.pop_back();
        if ((closed.tag->roles & text_element) != 0) {
            PyObject* text = string(texts_.back());
            if (text == nullptr) return false;
            Py_SETREF(as_element(closed.node.get())->text, text);
            texts_.pop_back();
        }
        if (!stack_.empty() && (stack_.back().tag->roles & unit_parent) != 0) {
            return call(handlers_[0], {stack_.back().tag->str.get(), closed.node.get()});
        }
        return true;
    }

    bool text(std::string_view data) override {
        if (!texts_.empty()) texts_.back().append(data);
        return true;
    }

    [[nodiscard]] bool ready() {
        empty_ = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        return static_cast<bool>(empty_);
    }

    PyObject* result() { return Py_NewRef(root_.get()); }

private:
    struct Open {
        Ref node;
        const Name* tag;
    };

    static PyObject* string(std::string_view s) {
        return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    }

    // One string object per distinct name (a file uses a few dozen), with
    // its roles looked up once.
    const Name* intern(std::string_view name) {
        if (auto it = names_.find(name); it != names_.end()) return &it->second;
        PyObject* str = string(name);
        if (str == nullptr) return nullptr;
        PyUnicode_InternInPlace(&str);
        Name entry;
        entry.str = Ref::steal(str);
        for (std::size_t i = 0; i < sets_.size(); ++i) {
            const int has = PySequence_Contains(sets_[i], entry.str.get());
            if (has < 0) return nullptr;
            if (has != 0) entry.roles |= static_cast<std::uint8_t>(1U << i);
        }
        return &names_.emplace(std::string(name), std::move(entry)).first->second;
    }

    static bool call(PyObject* handler, std::initializer_list<PyObject*> args) {
        Ref result = Ref::steal(PyObject_Vectorcall(handler, std::data(args), args.size(), nullptr));
        return static_cast<bool>(result);
    }

    std::array<PyObject*, 4> sets_;
    std::array<PyObject*, 3> handlers_;
    std::map<std::string, Name, std::less<>> names_;
    std::vector<Open> stack_;
    std::vector<std::string> texts_;
    std::size_t skip_depth_ = 0;
    Ref root_;
    Ref empty_;
};

// read_xml(data, unit_parents, skipped_sections, text_elements, skipped_definitions,
//          on_unit, on_skipped, on_skipped_definition)
PyObject* read_xml_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyObject* {
        if (nargs != 8) {
            PyErr_Format(PyExc_TypeError, "read_xml takes 8 arguments (%zd given)", nargs);
            return nullptr;
        }
        BufferView data;
        if (!data.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
        TreeBuilder builder(args + 1, args + 5);
        if (!builder.ready()) return nullptr;
        const std::string_view document(static_cast<const char*>(data.data()), data.size());
        switch (xml::parse(document, builder)) {
            case xml::Outcome::done: return builder.result();
            case xml::Outcome::other:
                if (PyErr_Occurred()) return nullptr;
                return Py_NewRef(Py_None);
            case xml::Outcome::stopped: break;
        }
        return nullptr;
    });
}

PyMethodDef xml_methods[] = {
    {"read_xml", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_xml_py)), METH_FASTCALL,
     "read_xml($module, data, unit_parents, skipped_sections, text_elements, skipped_definitions, on_unit, "
     "on_skipped, on_skipped_definition, /)\n--\n\n"
     "-> root or None: the UTF-8 XML document `data` as a tree of Elements. The whole document is checked "
     "before any handler is called. The children of "
     "elements named in unit_parents are not kept in the tree but handed to on_unit(parent, element) when "
     "they end; a section named in skipped_sections (below the root) is skipped whole and handed to "
     "on_skipped(name, line), and each element named in skipped_definitions inside it to "
     "on_skipped_definition(name, its name attribute or None, line); text is kept for the elements named in "
     "text_elements (all the character data inside them, "
     "but for that of such elements nested in them). None for a document this reader leaves to a full XML "
     "parser: another encoding, a document type declaration, entities beyond the predefined five, names "
     "outside ASCII, and anything not well-formed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_xml_part(PyObject* module) {
    if (element_type == nullptr) {
        element_type = PyType_FromModuleAndSpec(module, &element_spec, nullptr);
        if (element_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "Element", element_type) == 0 &&
           PyModule_AddFunctions(module, xml_methods) == 0;
}

}  // namespace bitloom::io
