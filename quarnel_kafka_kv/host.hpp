// Glue shared by the three extension modules: host imports, classes built by
// the host's `type`, and the C++ functions attached to them as methods.
//
// PRECONDITION for everything here: the GIL is held.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace quarnel {

namespace py = pybind11;

// A dependency is looked for inside our package first, so a deployment can
// shadow it there; only an import error falls back to the top-level module.
inline py::object import_host(const std::string &name) {
    try {
        return py::module_::import(("quarnel_kafka_kv." + name).c_str());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    return py::module_::import(name.c_str());
}

// `from <module> import <attr>` with the same package-first rule.
inline py::object import_from(const std::string &module, const char *attr) {
    return import_host(module).attr(attr);
}

// An interned name: attribute lookups by an interned str compare by identity
// in the instance dictionary, which the hot paths depend on.
inline py::str intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// ------------------------------------------------------------------ calls
//
// A thread that wants the GIL back while the interpreter finalizes is ended
// by the C library's forced unwind (pthread_exit): that is how the host ends
// daemon threads. Unwound, our frames would drop references without the GIL,
// and a handler that catches the unwind and ends aborts the process. Such a
// thread is parked instead, as Python 3.14 parks its own, until the process
// ends. The calls below, through which every call of ours that may give up
// the GIL goes, park it where the unwind enters our code; no `catch (...)` of
// ours but `guarded`'s may see the unwind.
[[noreturn]] inline void park_thread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;)
        pause();
}

inline py::object steal_result(PyObject *r) {
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `callable(args...)`; the last `len(kwnames)` arguments are passed by those names.
inline std::size_t keyword_count(py::handle kwnames) {
    return kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0;
}

template <typename... Args>
py::object call_with(py::handle callable, py::handle kwnames, const Args &...args) {
    PyObject *stack[] = {nullptr, py::handle(args).ptr()...};
    std::size_t positional = sizeof...(Args) - keyword_count(kwnames);
    PyObject *r;
    try {
        r = PyObject_Vectorcall(callable.ptr(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                kwnames.ptr());
    } catch (abi::__forced_unwind &) {
        park_thread();
    }
    return steal_result(r);
}

template <typename... Args>
py::object call(py::handle callable, const Args &...args) {
    return call_with(callable, py::handle(), args...);
}

// `obj.name(args...)` through the method cache, with no bound method built;
// the last `len(kwnames)` arguments are passed by those names.
template <typename... Args>
py::object call_method_with(py::handle obj, py::handle name, py::handle kwnames, const Args &...args) {
    PyObject *stack[] = {obj.ptr(), py::handle(args).ptr()...};
    std::size_t positional = 1 + sizeof...(Args) - keyword_count(kwnames);
    PyObject *r;
    try {
        r = PyObject_VectorcallMethod(name.ptr(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames.ptr());
    } catch (abi::__forced_unwind &) {
        park_thread();
    }
    return steal_result(r);
}

template <typename... Args>
py::object call_method(py::handle obj, py::handle name, const Args &...args) {
    return call_method_with(obj, name, py::handle(), args...);
}

// A tuple of interned keyword names, for the calls above.
template <typename... Names>
py::tuple keywords(Names... names) {
    return py::make_tuple(intern(names)...);
}

// A method called with no arguments, through its C entry point when an
// immutable type implements it in C: no lookup, no bound method. Anything
// else is called the ordinary way.
class DirectMethod {
  public:
    explicit DirectMethod(py::str name) : name_(std::move(name)) {}

    py::object operator()(PyObject *self) {
        if (type_.ptr() != reinterpret_cast<PyObject *>(Py_TYPE(self)))
            learn(Py_TYPE(self));
        PyObject *r;
        try {
            if (flags_ == METH_NOARGS)
                r = def_->ml_meth(self, nullptr);
            else if (flags_ == (METH_VARARGS | METH_KEYWORDS))
                r = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(def_->ml_meth))(
                    self, empty_.ptr(), nullptr);
            else
                r = PyObject_VectorcallMethod(name_.ptr(), &self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        } catch (abi::__forced_unwind &) {
            park_thread();
        }
        return steal_result(r);
    }

  private:
    void learn(PyTypeObject *type) {
        type_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
        flags_ = 0;
        PyObject *descr = PyObject_GetAttr(type_.ptr(), name_.ptr());
        if (!descr)
            throw py::error_already_set();
        if (Py_IS_TYPE(descr, &PyMethodDescr_Type) && (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) {
            def_ = reinterpret_cast<PyMethodDescrObject *>(descr)->d_method;
            flags_ = def_->ml_flags & ~METH_COEXIST;
        }
        Py_DECREF(descr);
    }

    py::str name_;
    py::object type_ = py::none();
    py::tuple empty_;
    PyMethodDef *def_ = nullptr;
    int flags_ = 0;
};

// A small native type of `module` (an iterator, a callable, a descriptor),
// which Python code cannot instantiate. `name` and `slots` must be static.
inline py::object native_type(py::handle module, const char *name, int basic_size, unsigned int flags,
                              PyType_Slot *slots) {
    // The flags are unsigned long in the headers and unsigned int in PyType_Spec.
    auto all_flags = static_cast<unsigned int>(flags | Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION);
    PyType_Spec type_spec = {name, basic_size, 0, all_flags, slots};
    PyObject *type = PyType_FromModuleAndSpec(module.ptr(), &type_spec, nullptr);
    if (!type)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(type);
}

// Logs one line of a store or its Admin at `level`; a tuple, which they
// print as the tuple, is logged as its items joined by spaces.
inline void log_line(py::handle logger, int level, py::handle message) {
    py::object text = py::str(message);
    if (PyTuple_Check(message.ptr())) {
        py::list items;
        for (auto item : message)
            items.append(py::str(item));
        text = py::str(" ").attr("join")(items);
    }
    call_method(logger, intern("log"), py::int_(level), py::str("%s"), text);
}

// The host's text form of a value (`str(v)`).
inline std::string text_of(py::handle v) { return py::str(v).cast<std::string>(); }

// Classes with Python bases (AdminClient, a class of another module) cannot be
// made by pybind11::class_, so the host builds them.
inline py::object make_class(py::module_ &m, const char *name, py::tuple bases, const char *doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object cls = py::module_::import("builtins").attr("type")(name, std::move(bases), ns);
    m.attr(name) = cls;
    return cls;
}

// ------------------------------------------------------------------ methods
//
// Methods are CPython method descriptors over METH_FASTCALL functions: a call
// costs what a builtin method call costs, binds `self` like a Python method,
// is inherited and overridable like one, and takes `__text_signature__` and
// `__doc__` from its doc ("name($self, a, b=1)\n--\n\nText.").

// One parameter: required, or optional with its default.
struct Param {
    Param(const char *name) : name(name) {}
    Param(const char *name, py::object fallback) : name(name), fallback(std::move(fallback)) {}
    const char *name;
    py::object fallback;
};

// Binds positional and keyword arguments to parameters, with the host's own
// error texts for Python functions.
class Signature {
  public:
    Signature(std::string qualname, const std::vector<Param> &params) : qualname_(std::move(qualname)) {
        for (const Param &p : params) {
            names_.push_back(intern(p.name));
            fallbacks_.push_back(p.fallback);
        }
    }

    // Fills `out` with borrowed references; false with TypeError set.
    // Keywords are checked first, as the host checks them.
    bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) const {
        const Py_ssize_t n = static_cast<Py_ssize_t>(names_.size());
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = i < nargs ? args[i] : nullptr;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *given = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = index_of(given);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_.c_str(),
                             given);
                return false;
            }
            if (i < nargs || out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", qualname_.c_str(),
                             given);
                return false;
            }
            out[i] = args[nargs + k];
        }
        if (nargs > n)
            return too_many(nargs);
        std::vector<Py_ssize_t> missing;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!out[i]) {
                if (fallbacks_[i])
                    out[i] = fallbacks_[i].ptr();
                else
                    missing.push_back(i);
            }
        return missing.empty() || report_missing(missing);
    }

    std::size_t size() const { return names_.size(); }

  private:
    Py_ssize_t index_of(PyObject *name) const {
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (names_[i].ptr() == name)
                return static_cast<Py_ssize_t>(i);
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (PyUnicode_Compare(names_[i].ptr(), name) == 0)
                return static_cast<Py_ssize_t>(i);
        return -1;
    }

    // Counted with `self`, as the host counts them for a method.
    bool too_many(Py_ssize_t nargs) const {
        std::size_t most = names_.size() + 1, least = most;
        for (const auto &fallback : fallbacks_)
            least -= fallback ? 1 : 0;
        std::string takes = least == most ? std::to_string(most)
                                          : "from " + std::to_string(least) + " to " + std::to_string(most);
        std::string text = qualname_ + "() takes " + takes + " positional argument" + (most == 1 ? "" : "s") +
                           " but " + std::to_string(nargs + 1) + (nargs == 0 ? " was" : " were") + " given";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    }

    bool report_missing(const std::vector<Py_ssize_t> &missing) const {
        std::string names;
        for (std::size_t j = 0; j < missing.size(); ++j) {
            if (j > 0)
                names += missing.size() == 2 ? " and " : (j + 1 == missing.size() ? ", and " : ", ");
            names += "'" + names_[missing[j]].cast<std::string>() + "'";
        }
        std::string text = qualname_ + "() missing " + std::to_string(missing.size()) +
                           " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + names;
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    }

    std::string qualname_;
    std::vector<py::str> names_;
    std::vector<py::object> fallbacks_;
};

// Runs `body` and turns a C++ exception into the host error it stands for.
template <typename Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (abi::__forced_unwind &) {
        park_thread();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

template <typename R>
PyObject *result_of(R &&r) {
    return py::object(std::forward<R>(r)).release().ptr();
}

// The fast-call entry point of `Fn(self, arg...)`, whose parameters are all
// `py::handle` (borrowed for the call) and whose result is an object or void.
template <auto Fn>
struct Native;

template <typename R, typename... Arg, R (*Fn)(py::handle, Arg...)>
struct Native<Fn> {
    static inline const Signature *signature = nullptr;

    static constexpr std::size_t arity = sizeof...(Arg);

    static PyObject *call(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        return guarded([&]() -> PyObject * {
            PyObject *bound[arity + 1];
            if (!signature->bind(args, nargs, kwnames, bound))
                return nullptr;
            return invoke(self, bound, std::index_sequence_for<Arg...>{});
        });
    }

  private:
    template <std::size_t... I>
    static PyObject *invoke(PyObject *self, PyObject **bound, std::index_sequence<I...>) {
        if constexpr (std::is_void_v<R>) {
            Fn(self, Arg(bound[I])...);
            Py_RETURN_NONE;
        } else {
            return result_of(Fn(self, Arg(bound[I])...));
        }
    }
};

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// One row of a class's method table.
struct Method {
    const char *name;
    FastFunction call;
    const Signature **signature;  // where `call` finds its binder; null for raw methods
    std::vector<Param> params;
    const char *doc;
    std::size_t arity;
};

// A method with named parameters, bound by its Signature.
template <auto Fn>
Method method(const char *name, std::vector<Param> params, const char *doc = nullptr) {
    return {name, &Native<Fn>::call, &Native<Fn>::signature, std::move(params), doc, Native<Fn>::arity};
}

// A method that takes its arguments as given, for forwarding them whole.
template <py::object (*Fn)(py::handle, PyObject *const *, Py_ssize_t, PyObject *)>
Method raw_method(const char *name, const char *doc = nullptr) {
    FastFunction call = [](PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        return guarded([&] { return Fn(self, args, nargs, kwnames).release().ptr(); });
    };
    return {name, call, nullptr, {}, doc, 0};
}

// Attaches a table of methods to a class. The definitions live as long as
// the process, like the classes that refer to them.
inline void define_methods(py::handle cls, const std::vector<Method> &methods) {
    std::string owner = cls.attr("__qualname__").cast<std::string>();
    for (const Method &m : methods) {
        if (m.signature) {
            if (*m.signature)
                throw std::logic_error(std::string("a function is attached twice: ") + m.name);
            if (m.params.size() != m.arity)
                throw std::logic_error(std::string("the parameters do not match the function: ") + m.name);
            *m.signature = new Signature(owner + "." + m.name, m.params);
        }
        auto *def = new PyMethodDef{m.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.call)),
                                    METH_FASTCALL | METH_KEYWORDS, m.doc};
        PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), def);
        if (!descr)
            throw py::error_already_set();
        py::setattr(cls, m.name, py::reinterpret_steal<py::object>(descr));
    }
}

// Whether `obj.name` is still the table's method `Fn`: not overridden in a
// subclass, replaced on the class or shadowed on the instance. A caller that
// may do the work of several calls at once does so only then, or an override
// would no longer be called.
template <auto Fn>
bool is_own_method(py::handle obj, const char *name) {
    py::object found = py::getattr(obj, name);
    return PyCFunction_Check(found.ptr()) && PyCFunction_GET_SELF(found.ptr()) == obj.ptr() &&
           PyCFunction_GET_FUNCTION(found.ptr()) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Native<Fn>::call));
}

// A plain function of no arguments, such as a default action.
template <void (*Fn)()>
py::object plain_function(const char *name, const char *doc, py::handle module) {
    PyCFunction entry = [](PyObject *, PyObject *) -> PyObject * {
        return guarded([] {
            Fn();
            Py_RETURN_NONE;
        });
    };
    auto *def = new PyMethodDef{name, entry, METH_NOARGS, doc};
    PyObject *f = PyCFunction_NewEx(def, nullptr, module.attr("__name__").ptr());
    if (!f)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

}  // namespace quarnel
