"""Loaded by every interpreter of the sanitizer tier (through PYTHONPATH): checks the
process for leaks while the interpreter is still whole.

LeakSanitizer's own check runs after the interpreter has finalised, when it reports
whatever the interpreter chose not to free on its way out. Checking from the first
registered exit handler, which runs last, sees every allocation still held by a live
object as reachable (PYTHONMALLOC=malloc puts every object on the scanned heap), so
what it reports is memory that nothing points to any more. Once this check has run,
LeakSanitizer skips its own."""

import atexit
import ctypes

atexit.register(ctypes.CDLL(None).__lsan_do_leak_check)
