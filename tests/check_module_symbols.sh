#!/bin/sh
# Checks the dynamic symbols of the built module: exactly load, request and
# unload are defined, and no "GNU unique" symbol pins it in memory; and
# that neither the test hooks nor the host tool's system calls are linked in.
set -eu
module=$1
defined=$(nm -D --defined-only "$module" | awk '{print $2, $3}')
unique=$(printf '%s\n' "$defined" | awk '$1 == "u"')
if [ -n "$unique" ]; then
  echo "GNU unique symbols in $module:"; printf '%s\n' "$unique"; exit 1
fi
names=$(printf '%s\n' "$defined" | awk '{print $2}' | sort | tr '\n' ' ')
if [ "$names" != "load request unload " ]; then
  echo "unexpected exports in $module: $names"; exit 1
fi
inside=$(nm -C "$module" | grep -E 'fault_injection|use_lead_byte_rule|start_child|exported_names' || true)
if [ -n "$inside" ]; then
  echo "test hooks or host tool code in $module:"; printf '%s\n' "$inside"; exit 1
fi
echo "exports: $names"
