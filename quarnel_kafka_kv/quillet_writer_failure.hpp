// The producer's fatal failure (an idempotent producer refused its producer
// id, as a principal without Write anywhere is): the client raises it once, in
// whichever call serves it, and then refuses every write with a bare "Fatal
// error" that does not say why. The store keeps it and tells it.
#pragma once

#include "quillet_core.hpp"

namespace quarnel {
namespace {

// Keeps the producer's fatal error, if `e` is one.
bool kept_producer_failure(StoreCore &core, py::error_already_set &e) {
    if (!e.matches(host->KafkaException))
        return false;
    py::object error = kafka_error_of(e.value());
    if (!error || !truthy(error.attr("fatal")()))
        return false;
    core.writes.producer_failure = error;
    return true;
}

// Served by the store's own upkeep rather than by a writer, the failure is
// told and the store goes on: a store that only reads has lost nothing.
bool told_producer_failure(py::handle self, StoreCore &core, py::error_already_set &e) {
    if (!kept_producer_failure(core, e))
        return false;
    emit_line(self, kWarning, py::str("KafkaCompaction's producer failed, and every write will be refused: {}")
                            .format(call_method(core.writes.producer_failure, host->n.str)));
    return true;
}

// A refusal for the producer's fatal error is raised as that error.
void raise_kept_producer_failure(StoreCore &core, py::error_already_set &refusal) {
    if (!refusal.matches(host->KafkaException) || !core.writes.producer_failure)
        return;
    py::object error = kafka_error_of(refusal.value());
    if (!error || !is_code(error, host->FATAL))
        return;
    py::object raised = call(host->KafkaException, core.writes.producer_failure);
    PyException_SetContext(raised.ptr(), refusal.value().inc_ref().ptr());
    raise_exception_object(raised);
}

}  // namespace
}  // namespace quarnel
