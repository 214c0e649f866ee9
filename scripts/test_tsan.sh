#!/usr/bin/env bash
# ThreadSanitizer stage of the test command: the whole suite built and run under ThreadSanitizer
# (see scripts/test_sanitize.sh for the tests it leaves out and why).
exec bash "$(dirname "$0")/test_sanitize.sh" thread
