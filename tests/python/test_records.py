"""The ctypes record mirrors lay records out exactly as the runtime and the CTP libraries do."""
import csv
import ctypes
import pathlib
import sys

import pytest

from quorvane import records

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import gen_records  # noqa: E402  (the generator owns the CQV layout)


def reference_layout():
    """{struct: (size, align, [(field, offset, size)])} from the compiler-printed CTP table."""
    table = {}
    with open(ROOT / "ctpapi" / "ctp-6.3.15-layout.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["type"] == "struct":
                table[row["struct"]] = (int(row["size"]), int(row["align"]), [])
            else:
                table[row["struct"]][2].append((row["field"], int(row["offset"]), int(row["size"])))
    return table


CTP = reference_layout()
CQV = gen_records.load_records()


class TestCtpMirrors:
    def test_every_struct_is_mirrored(self):
        """Each of the 353 CTP structures has a mirror, and every mirror is listed in __all__."""
        assert len(CTP) == 353
        missing = [name for name in CTP if name not in records.__all__ or not hasattr(records, name)]
        assert missing == []

    @pytest.mark.parametrize("name", sorted(CTP))
    def test_layout_matches_reference(self, name):
        """Size, alignment, field order, offsets and field sizes equal the compiler's figures."""
        size, align, fields = CTP[name]
        mirror = getattr(records, name)
        assert (ctypes.sizeof(mirror), ctypes.alignment(mirror)) == (size, align)
        assert [f[0] for f in mirror._fields_] == [f[0] for f in fields]
        for field, offset, field_size in fields:
            described = getattr(mirror, field)
            assert (described.offset, described.size) == (offset, field_size), field


class TestCqvMirrors:
    @pytest.mark.parametrize("record", CQV, ids=[r.name for r in CQV])
    def test_layout_matches_generator(self, record):
        """The mirror has the generator's size and offsets, which the C++ header also asserts."""
        size, align, slots = gen_records.layout(record)
        mirror = getattr(records, record.name)
        assert (ctypes.sizeof(mirror), ctypes.alignment(mirror)) == (size, align)
        assert [f[0] for f in mirror._fields_] == [f.name for f in record.fields]
        for field, slot in zip(record.fields, slots):
            assert getattr(mirror, field.name).offset == slot.offset, field.name

    def test_interface_sizes(self):
        """The sizes the host relies on."""
        sizes = {r.name: ctypes.sizeof(getattr(records, r.name)) for r in CQV}
        assert sizes == {"CQVLoginField": 1016, "CQVOrderField": 568, "CQVPositionField": 208,
                         "CQVMarketDataField": 704, "CQVSimpleMarketDataField": 296, "CQVDetailDataField": 168,
                         "CQVQueryCommandField": 320, "CQVTransferAssetField": 504, "CQVCreditDebtField": 232}


class TestView:
    def test_reads_and_writes_in_place(self):
        """A view shares memory with the record at the address; NextOrder follows the chain."""
        first, second = records.CQVOrderField(), records.CQVOrderField()
        second.OrderID = 2
        first.NextOrder = ctypes.pointer(second)
        seen = records.view(records.CQVOrderField, ctypes.addressof(first))
        assert seen.NextOrder.contents.OrderID == 2
        seen.StandardID = b"rb2405"
        assert first.StandardID == b"rb2405"

    def test_null_address_gives_none(self):
        assert records.view(records.CQVPositionField, 0) is None
        assert records.view(records.CQVPositionField, None) is None
