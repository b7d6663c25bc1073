"""The command line with XTCE definitions: decode --xtce, show DEF.xml."""

from __future__ import annotations

import csv
import re
from pathlib import Path

import pytest


pytest.importorskip("bitloom_io.xtce")
from bitloom_io.cli import main  # noqa: E402

REAL = Path(__file__).parent / "data" / "realdata"
DATA = Path(__file__).parent / "data" / "xtce"
CTIM_XTCE = REAL / "ctim" / "ctim_xtce_v1.xml"
CTIM = REAL / "ctim" / "ccsds_2021_155_14_39_51"
ROUTES_XML = DATA / "routes.xml"


def test_decode_writes_one_file_per_packet_type(tmp_path, capsys):
    out = tmp_path / "tables"
    assert main(["decode", str(CTIM), "--xtce", str(CTIM_XTCE), "--out", str(out), "--format", "csv"]) == 0
    files = sorted(p.name for p in out.iterdir())
    assert len(files) == 9 and "APID_41_Packet.csv" in files
    rows = {}
    for path in out.iterdir():
        with open(path, newline="") as f:
            rows[path.stem] = list(csv.DictReader(f))
    assert sum(len(r) for r in rows.values()) == 1499
    assert {row["PKT_APID"] for row in rows["APID_41_Packet"]} == {"41"}
    assert re.search(r"APID_41_Packet.csv +1,?147 rows", capsys.readouterr().out)


def test_show_prints_the_tree_or_one_container(capsys):
    assert main(["show", str(CTIM_XTCE)]) == 0
    text = capsys.readouterr().out
    assert text.startswith("CCSDSTelemetryPacket (abstract): 9 fields, 96 bits\n")
    assert "  APID_2_Packet: 16 fields, 176 bits where PKT_APID == 2" in text
    assert main(["show", str(CTIM_XTCE), "APID_2_Packet"]) == 0
    diagram = capsys.readouterr().out
    assert "PKT_APID" in diagram and diagram.lstrip().startswith("0")
    assert main(["show", str(CTIM_XTCE), "CCSDSTelemetryPacket"]) == 0
    capsys.readouterr()
    # An APID picks the packet types of that APID, however they are chosen.
    assert main(["show", str(CTIM_XTCE), "2"]) == 0
    assert capsys.readouterr().out == diagram
    assert main(["check", str(ROUTES_XML), "12", "-q"]) == 0
    assert main(["check", str(ROUTES_XML), "12"]) == 0
    assert capsys.readouterr().out == "Event: no findings\nQuiet: no findings\n"


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["show", str(CTIM_XTCE), "NOPE"], "no container named 'NOPE'"),
        (
            ["show", str(DATA / "refuse_repeat_entry.xml"), "Bad"],
            "refuse_repeat_entry.xml:21: DynamicValue 'Bad': the number of 'X' comes from 'NOPE'",
        ),
        (
            ["decode", str(CTIM), "--xtce", str(DATA / "hostile_billion_laughs.xml"), "--out", "x"],
            "entity declaration 'lol' refused",
        ),
    ],
    ids=["unknown-container", "refused", "hostile"],
)
def test_errors_are_one_line_and_fail(argv, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
