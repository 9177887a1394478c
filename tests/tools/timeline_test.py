# `qkr --timeline`: the picture is well-formed SVG and holds a known script's frames at their
# virtual times, a NAK and the retry after it marked, and the driver's log lines as ticks.
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

qkr = sys.argv[1]
NS = {"s": "http://www.w3.org/2000/svg"}
script = "start\ninsert t1\npower cold\nfault nak 1\npower down\n"
with tempfile.NamedTemporaryFile(suffix=".svg") as svg:
    run = subprocess.run([qkr, "--card", "none", "--timeline", svg.name, "script", "-"],
                         input=script, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    root = ET.parse(svg.name).getroot()  # raises on anything but well-formed XML

assert root.tag == "{http://www.w3.org/2000/svg}svg", root.tag
frames = [(g.get("data-dir"), int(g.get("data-start")), g.find("s:text", NS).text)
          for g in root.iterfind("s:g[@class='frame']", NS)]
# Ticks of 100 ns: the 3 s serial set-up pause, then the start's two queries and the cold reset.
expected = [
    ("out", 30005209, "get type"), ("in", 30066876, "type"),
    ("out", 30202293, "get status"), ("in", 30263960, "status"),
    ("out", 30316044, "power off"), ("in", 30377711, "done"),
    ("out", 30424586, "cold reset"), ("in", 30693764, "ATR"),
    ("out", 30829181, "power off"), ("in", 30890848, "NAK"),
    ("out", 30922098, "retry: power off"), ("in", 30983765, "done"),
]
assert frames == expected, "\n".join(map(str, frames))
ticks = root.findall("s:line[@class='log']", NS)
# From the driver's load on: its very first line is there.
assert len(ticks) > 20 and ticks[0].find("s:title", NS).text.startswith(
    "0.0000 s [DriverEntry]"), ticks[0].find("s:title", NS).text
assert root.findall("s:g[@class='gap']", NS), "the 3 s pause is drawn as a gap"
print("timeline ok:", len(frames), "frames,", len(ticks), "log lines")
