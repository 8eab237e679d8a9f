#!/usr/bin/env python3
"""Reads a Prometheus text exposition file with the client library's own parser and prints
its samples as JSON: {"name{label=value,...}": value}, labels in name order."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

samples = {}
with open(sys.argv[1], encoding="utf-8") as exposition:
    for family in text_string_to_metric_families(exposition.read()):
        for sample in family.samples:
            labels = ",".join(f"{key}={value}" for key, value in sorted(sample.labels.items()))
            samples[f"{sample.name}{{{labels}}}"] = sample.value
print(json.dumps(samples))
