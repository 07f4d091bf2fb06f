# The compiled module: one job per call, run with the interpreter lock released.
from typing import Any, Dict, Optional, Tuple

def run(
    background: bytes,
    background_data: Optional[Any],
    foreground: bytes,
    foreground_data: Optional[Any],
    output: Optional[bytes],
    stamp: bool,
    options: Dict[str, Any],
) -> Tuple[bool, bytes, Optional[str], int, Optional[bytes], int]:
    """Runs one job. An input whose data is None is opened by its name; otherwise the name is
    what messages call it and the data (any C-contiguous bytes-like object) is the PDF. Output
    None builds the PDF into memory and returns it. Returns (ok, message, role of the file the
    job failed on or None, errno of the failed system call or 0, the PDF or None, the output's
    page count or 0). The option "_batch" (not a keyword option of the package) runs the job
    without helper threads of its own, as one of many running side by side."""
