"""Runs one function of a test module in this process and prints its JSON result.

    call.py MODULE_PATH FUNCTION JSON_ARGUMENTS

The result is the last stdout line that starts with RESULT_MARK, so anything else the function
or the programs it starts print does not get in the way.
"""

import importlib.util
import json
import sys
import traceback

RESULT_MARK = "VELTO-RESULT "


def main():
    path, function, arguments = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    spec = importlib.util.spec_from_file_location("velto_called_module", path)
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(__import__("pathlib").Path(path).parent))
    spec.loader.exec_module(module)
    try:
        result = getattr(module, function)(**arguments)
    except Exception:  # the caller sees the failure as data, with its traceback
        result = {"error": traceback.format_exc()}
    sys.stdout.write(RESULT_MARK + json.dumps(result) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
