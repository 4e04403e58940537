"""The built runtime loads into a Python host."""
import ctypes


class TestLoading:
    def test_library_loads_with_ctypes(self, lib_path):
        """The shared library and the CTP libraries it needs resolve when a host loads it."""
        assert ctypes.CDLL(lib_path) is not None
