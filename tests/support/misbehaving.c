/* Test-only extension: a sequence whose iterator slot fails without setting
   an exception, which no Python class can do. Built by the tests, never installed. */
#include <Python.h>

static PyObject *broken_iter(PyObject *self) { return NULL; }
static Py_ssize_t broken_len(PyObject *self) { return 3; }
static PyObject *broken_item(PyObject *self, Py_ssize_t i) { return PyFloat_FromDouble(1.0); }

static PySequenceMethods broken_as_sequence = {.sq_length = broken_len, .sq_item = broken_item};

static PyTypeObject BrokenIterType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "misbehaving.BrokenIter",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_as_sequence = &broken_as_sequence,
    .tp_iter = broken_iter,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "misbehaving", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_misbehaving(void) {
    if (PyType_Ready(&BrokenIterType) < 0) return NULL;
    PyObject *m = PyModule_Create(&module);
    if (m && PyModule_AddObjectRef(m, "BrokenIter", (PyObject *)&BrokenIterType) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
