// Text keys and JSON values over the bytes store: what KafkaJsonCompaction adds.
#pragma once

#include "quillet_writer_awaitable.hpp"

#include <cstdint>
#include <cstring>

namespace quarnel {
namespace {

py::object get_collections(py::handle self) {
    std::string prefix = text_of(py::getattr(self, host->n.db_name)) + ".";
    py::list names;
    for (auto topic : py::dict(py::getattr(self, host->n.topics))) {
        std::string name = text_of(topic.first);
        if (name.compare(0, prefix.size(), prefix) == 0)
            name.erase(0, prefix.size());
        names.append(py::str(name));
    }
    return std::move(names);
}

// The record key of a text key; anything else fails as `key.encode` would.
// What a text subclass's own encode returns is taken as exact bytes, so that
// no code of the caller's (a __hash__, an __eq__) runs in a lookup under the
// collection's lock.
py::object utf8_key(py::handle key) {
    if (PyUnicode_CheckExact(key.ptr())) {
        PyObject *encoded = PyUnicode_AsUTF8String(key.ptr());
        if (!encoded)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(encoded);
    }
    py::object encoded = call_method(key, host->n.encode, py::str("utf-8"));
    if (PyBytes_CheckExact(encoded.ptr()))
        return encoded;
    if (!PyBytes_Check(encoded.ptr()))
        throw py::type_error(std::string("a key's encode() must return bytes, not ") + Py_TYPE(encoded.ptr())->tp_name);
    return py::bytes(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()));
}

bool is_ascii(const char *data, Py_ssize_t size) {
    Py_ssize_t i = 0;
    for (std::uint64_t word; i + 8 <= size; i += 8) {
        std::memcpy(&word, data + i, 8);
        if (word & 0x8080808080808080ULL)
            return false;
    }
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) & 0x80)
            return false;
    return true;
}

// A stored key as text; null (no error) for one that is not UTF-8, which no
// text key can address: another tool wrote it.
py::object text_key(PyObject *key) {
    if (!PyBytes_Check(key))
        return py::object();
    const char *data = PyBytes_AS_STRING(key);
    const Py_ssize_t size = PyBytes_GET_SIZE(key);
    // Most keys are ASCII, whose text is a copy of the bytes: the general
    // decoder costs a key listing as much again.
    if (is_ascii(data, size)) {
        PyObject *text = PyUnicode_New(size, 127);
        if (!text)
            throw py::error_already_set();
        std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<std::size_t>(size));
        return py::reinterpret_steal<py::object>(text);
    }
    PyObject *text = PyUnicode_DecodeUTF8(data, size, "strict");
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
            throw py::error_already_set();
        PyErr_Clear();
    }
    return py::reinterpret_steal<py::object>(text);
}

Py_ssize_t skip_json_whitespace(PyObject *text, Py_ssize_t i) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    for (; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            break;
    }
    return i;
}

// `json.loads(stored)`. UTF-8 bytes, the record values this layer writes, go
// straight to the decoder's own scanner, as json.loads would hand them on;
// everything else, and every error, goes through json.loads itself, so
// results and messages stay the host's.
py::object decode_json(py::handle stored) {
    PyObject *raw = stored.ptr();
    if (PyBytes_CheckExact(raw)) {
        const auto *s = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(raw));
        Py_ssize_t size = PyBytes_GET_SIZE(raw);
        // json.loads reads UTF-16 and UTF-32 from zero bytes and byte order marks at the start.
        bool utf8 = size > 0 && s[0] != 0 && s[0] != 0xEF && s[0] != 0xFE && s[0] != 0xFF && (size < 2 || s[1] != 0);
        if (utf8) {
            PyObject *text = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s), size, "surrogatepass");
            if (text) {
                py::object owned = py::reinterpret_steal<py::object>(text);
                py::object start = py::int_(skip_json_whitespace(text, 0));
                PyObject *args[] = {text, start.ptr()};
                PyObject *found = PyObject_Vectorcall(host->scan_once.ptr(), args, 2, nullptr);
                if (found && PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) == 2) {
                    py::object pair = py::reinterpret_steal<py::object>(found);
                    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(found, 1));
                    if (end >= 0 && skip_json_whitespace(text, end) == PyUnicode_GET_LENGTH(text))
                        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(found, 0));
                } else {
                    Py_XDECREF(found);
                }
            }
            PyErr_Clear();
        }
    }
    PyObject *decoded = PyObject_CallOneArg(host->loads.ptr(), raw);
    if (!decoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(decoded);
}

py::object to_json(py::handle value) {
    PyObject *text = PyObject_CallOneArg(host->encode_json.ptr(), value.ptr());
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

void json_set_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    py::object key_bytes = utf8_key(key);
    py::object encoded = value.is_none() ? py::object(py::bytes("")) : to_json(value);
    host->super(host->KafkaJsonCompaction, self).attr("set_collection_value")(name, key_bytes, encoded);
}

void delete_collection_value(py::handle self, py::handle name, py::handle key) {
    call_method(self, host->n.set_collection_value, name, key, py::none());
}

// A pair as this layer stores it: the UTF-8 key, the JSON text (b"" for None).
void json_encode(py::handle key, py::handle value, py::object &record_key, py::object &record_value) {
    record_key = utf8_key(key);
    record_value = value.is_none() ? py::object(py::bytes("")) : to_json(value);
}

void json_set_collection_values(py::handle self, py::handle name, py::handle mapping) {
    write_batch(self, name, mapping, json_encode, true);
}

py::object json_aset_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    return awrite_batch(self, name, py::make_tuple(py::make_tuple(key, value)), json_encode, true, true);
}

py::object json_aset_collection_values(py::handle self, py::handle name, py::handle mapping) {
    return awrite_batch(self, name, mapping, json_encode, true);
}

py::object adelete_collection_value(py::handle self, py::handle name, py::handle key) {
    return awrite_batch(self, name, py::make_tuple(py::make_tuple(key, py::none())), json_encode, true, true);
}

// The lock of the collection's topic, or null while no record or write has
// touched the collection yet.
py::object existing_lock(const Attributes &state, py::handle topic) {
    return py::reinterpret_borrow<py::object>(find(state[host->n.locks], topic));
}

// The topic of collection `name` of a store serving this process. A copy
// still being replayed is never served: it would hold only part of the log.
py::str served_topic(const Attributes &state, py::handle name) {
    const StoreCore &core = core_of(state);
    require_own_process(core);
    if (core.life.stage() < Stage::kLive) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the store is still reading its topics into memory (opened with wait_for_replay = False): "
                        "it serves reads once status() says 'live'");
        throw py::error_already_set();
    }
    return topic_of(state, core, name);
}

// `collection[key_bytes]`, `key_bytes` being the record key of `key`. The
// UTF-8 bytes of an ASCII text hash as the text does, so the text's cached
// hash spares hashing the fresh bytes.
PyObject *find_record(PyObject *collection, py::handle key_bytes, [[maybe_unused]] py::handle key) {
#if PY_VERSION_HEX < 0x030D0000
    if (PyUnicode_CheckExact(key.ptr()) && PyUnicode_IS_ASCII(key.ptr())) {
        Py_hash_t hash = PyObject_Hash(key.ptr());
        if (hash == -1)
            throw py::error_already_set();
        PyObject *found = _PyDict_GetItem_KnownHash(collection, key_bytes.ptr(), hash);
        if (!found && PyErr_Occurred())
            throw py::error_already_set();
        return found;
    }
#endif
    return find(collection, key_bytes);
}

py::object get_collection_value(py::handle self, py::handle name, py::handle key) {
    // Encoded first: a key's own encode may be any code, never run under the lock.
    py::object key_bytes = utf8_key(key);
    Attributes state(self);
    py::str topic = served_topic(state, name);
    py::object lock = existing_lock(state, topic);
    if (!lock)
        return py::none();
    py::object stored;
    {
        Held held(lock);
        py::object topics = state[host->n.topics];
        if (PyObject *collection = find(topics, topic))
            if (PyObject *value = find_record(collection, key_bytes, key))
                stored = py::reinterpret_borrow<py::object>(value);
    }
    // Decoded after the lock is released: the consumer thread need not wait
    // for it. A record without a value (another tool's deletion) is missing data.
    return stored && !stored.is_none() ? decode_json(stored) : py::none();
}

py::object get_collection_keys(py::handle self, py::handle name) {
    Attributes state(self);
    py::str topic = served_topic(state, name);
    py::object lock = existing_lock(state, topic);
    if (!lock)
        return py::list();
    Held held(lock);
    py::object topics = state[host->n.topics];
    PyObject *collection = find(topics, topic);
    if (!collection)
        return py::list();
    // Filled in place; keys left out shorten it at the end.
    py::list keys(PyDict_GET_SIZE(collection));
    Py_ssize_t pos = 0, count = 0;
    PyObject *k, *v;
    // Keys without a value are left out, as a store opened after the cleaner
    // removed their records would not have them.
    while (PyDict_Next(collection, &pos, &k, &v)) {
        if (v == Py_None)
            continue;
        if (py::object text = text_key(k))
            PyList_SET_ITEM(keys.ptr(), count++, text.release().ptr());
    }
    Py_SET_SIZE(keys.ptr(), count);
    return std::move(keys);
}

// Hands the listener text keys and JSON values. A record this layer cannot
// decode (another tool wrote it) is not one of its changes: skipped.
void json_add_collection_listener(py::handle self, py::handle name, py::handle listener) {
    require_callable(listener, "listener");
    py::object decoding = py::cpp_function([listener = py::reinterpret_borrow<py::object>(listener)](
                                               py::object key, py::object value) {
        py::object text = text_key(key.ptr());
        if (!text)
            return;
        py::object decoded = py::none();
        if (!value.is_none()) {
            try {
                decoded = decode_json(value);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError))
                    throw;
                return;
            }
        }
        call(listener, text, decoded);
    });
    host->super(host->KafkaJsonCompaction, self).attr("add_collection_listener")(name, decoding);
}

}  // namespace
}  // namespace quarnel
