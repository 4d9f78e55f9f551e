"""Key/value collections kept in log-compacted Kafka topics.

Modules: ``dorrow`` (topic administration), ``quillet`` (the store),
``mervane`` (dictionary-style access).
"""
