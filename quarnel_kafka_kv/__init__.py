"""Key/value collections kept in log-compacted Kafka topics.

Modules: ``dorrow`` (topic administration), ``quillet`` (the store),
``mervane`` (dictionary-style access). ``python -m quarnel_kafka_kv`` is the
command line.
"""

__version__ = "0.2.0"
