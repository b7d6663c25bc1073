/* The floor of the recipe interface: the least work any implementation of
 * unpack_parameters / pack_parameters has to do. Every item's dict is walked
 * once with PyDict_Next, keys are recognised by address (the interned key
 * strings the recipes use), every value is touched, and the result is built:
 * a dict of ints when unpacking, a bytes object when packing. No value is
 * decoded, checked or placed. Built by `make bench` for the benchmark only;
 * it is not part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

enum { K_NAME, K_ENCODING, K_BITS, K_BYTE_ORDER, K_REVERSE_BITS, K_OFFSET_BITS, K_VALUE, K_COUNT };
static const char *key_text[K_COUNT] = {"name",         "encoding",    "bits", "byte_order",
                                        "reverse_bits", "offset_bits", "value"};
static PyObject *keys[K_COUNT];

/* Walks one item: the fields found by address, every value touched. */
static int walk(PyObject *item, PyObject **found, size_t *touched) {
    if (!PyDict_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "items must be dicts");
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (int k = 0; k < K_COUNT; ++k) found[k] = NULL;
    while (PyDict_Next(item, &pos, &key, &value)) {
        *touched += (size_t)Py_TYPE(value)->tp_flags;
        for (int k = 0; k < K_COUNT; ++k) {
            if (key == keys[k]) {
                found[k] = value;
                break;
            }
        }
    }
    return 0;
}

static size_t small_int(PyObject *obj) {
    if (obj == NULL || !PyLong_CheckExact(obj)) return 0;
    return (size_t)PyLong_AsSize_t(obj);
}

static PyObject *floor_unpack(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 3 || !PyBytes_Check(args[0]) || !PyList_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "unpack(packet, offset_bits, recipe)");
        return NULL;
    }
    const unsigned char *packet = (const unsigned char *)PyBytes_AS_STRING(args[0]);
    const Py_ssize_t size = PyBytes_GET_SIZE(args[0]);
    PyObject *recipe = args[2];
    const Py_ssize_t n = PyList_GET_SIZE(recipe);
    PyObject *result = _PyDict_NewPresized(n);
    if (result == NULL) return NULL;
    size_t touched = 0, position = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *found[K_COUNT];
        if (walk(PyList_GET_ITEM(recipe, i), found, &touched) < 0) goto fail;
        const size_t bits = small_int(found[K_BITS]);
        /* An int per field, made from the packet bytes at its position. */
        unsigned long long raw = 0;
        const size_t byte = position / 8;
        if ((Py_ssize_t)(byte + 8) <= size) memcpy(&raw, packet + byte, 8);
        if (bits < 64) raw &= (1ULL << bits) - 1;
        position += bits;
        PyObject *v = PyLong_FromUnsignedLongLong(raw + (touched & 1));
        if (v == NULL || found[K_NAME] == NULL) {
            Py_XDECREF(v);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "name");
            goto fail;
        }
        const int rc = PyDict_SetItem(result, found[K_NAME], v);
        Py_DECREF(v);
        if (rc < 0) goto fail;
    }
    return result;
fail:
    Py_DECREF(result);
    return NULL;
}

static PyObject *floor_pack(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1 || !PyList_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "pack(recipe)");
        return NULL;
    }
    PyObject *recipe = args[0];
    const Py_ssize_t n = PyList_GET_SIZE(recipe);
    size_t touched = 0, total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *found[K_COUNT];
        if (walk(PyList_GET_ITEM(recipe, i), found, &touched) < 0) return NULL;
        total += small_int(found[K_BITS]);
    }
    PyObject *packet = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)((total + 7) / 8));
    if (packet == NULL) return NULL;
    memset(PyBytes_AS_STRING(packet), (int)(touched & 1), (size_t)PyBytes_GET_SIZE(packet));
    return packet;
}

static PyMethodDef methods[] = {
    {"unpack", (PyCFunction)(void (*)(void))floor_unpack, METH_FASTCALL, NULL},
    {"pack", (PyCFunction)(void (*)(void))floor_pack, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, .m_name = "_floor", .m_size = -1, .m_methods = methods,
};

PyMODINIT_FUNC PyInit__floor(void) {
    for (int k = 0; k < K_COUNT; ++k) {
        keys[k] = PyUnicode_InternFromString(key_text[k]);
        if (keys[k] == NULL) return NULL;
    }
    return PyModule_Create(&module);
}
