"""Runs one function of a test module in this process and prints its JSON result.

    call.py MODULE_PATH FUNCTION JSON_ARGUMENTS

The result is the last stdout line that starts with RESULT_MARK, so anything else the function
or the programs it starts print does not get in the way.
"""

import json
import pathlib
import runpy
import sys
import traceback

RESULT_MARK = "VELTO-RESULT "
SUPPORT = pathlib.Path(__file__).resolve().parent


def load_test_module(path, name):
    """The top-level names of the test module at `path`, run under `name` with its own folder and
    the test support first on the import path (so it finds them as it does under pytest)."""
    sys.path[:0] = [str(pathlib.Path(path).parent), str(SUPPORT)]
    return runpy.run_path(str(path), run_name=name)


def call_reporting(function, **arguments):
    """Calls `function` and prints its result, or its traceback as data, after RESULT_MARK."""
    try:
        result = function(**arguments)
    except Exception:  # the caller sees the failure as data, with its traceback
        result = {"error": traceback.format_exc()}
    sys.stdout.write(RESULT_MARK + json.dumps(result) + "\n")
    sys.stdout.flush()


def main():
    path, function, arguments = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    call_reporting(load_test_module(path, "velto_called_module")[function], **arguments)


if __name__ == "__main__":
    main()
