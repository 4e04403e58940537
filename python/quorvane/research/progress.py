"""A progress bar on standard error when asked for and tqdm is installed; otherwise none (callers
then skip their updates)."""
import sys
from typing import Any, Optional


def progress_bar(total: int, enabled: bool, unit: str, desc: str, **options: Any) -> Optional[Any]:
    """A tqdm bar over `total` items, or None when `enabled` is false or tqdm is missing."""
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit=unit, desc=desc, file=sys.stderr, **options)
