#!/usr/bin/env python3
"""Measures what the test suite catches by planting one fault at a time in the product code.

For each fault: the product file is changed, the tree is rebuilt, the whole suite runs, the
failing tests run once more (still mutated) and only those that fail again count as a catch;
then the file is restored byte for byte. Tests that already fail on the unchanged tree are left
out of every verdict.

    plant-faults.py --src DIR --build DIR [--only ID,ID] [--stop-on-failure] [--out FILE.md]
    plant-faults.py --src DIR --build DIR --check     # every fault applies and compiles alone
    plant-faults.py --list

Everything runs under `nice -n 19`: the machine is shared. A file left changed by a run that was
killed outright is restored at the start of the next run (from BUILD/plant-faults/journal).
"""

import argparse
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

# Each fault: `old` occurs exactly once in `file`, `new` is what a developer could have written
# instead. Faults marked [hang] leave some wait without an end.
FAULTS = [
    # --- link: frame codec, exchange, serial requests ---
    dict(id="frame-stuffs-stx", file="link/frame.cc",
         old="OutputBuffer[count - 1] = b;\n        if (b == QKR_DLE) {",
         new="OutputBuffer[count - 1] = b;\n        if (b == QKR_STX) {",
         what="wrong byte on the wire: the frame builder doubles STX instead of DLE in the payload"),
    dict(id="frame-nak-length", file="link/frame.cc",
         old="if (out == 2 && Buffer[0] == QKR_NAK)",
         new="if (out == 1 && Buffer[0] == QKR_NAK)",
         what="off-by-one: a NAK frame (code and check byte) is no longer recognised as NAK"),
    dict(id="exchange-no-rx-purge", file="link/exchange.cc",
         old="purgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;",
         new="purgeMask = SERIAL_PURGE_TXCLEAR;",
         what="dropped purge: stale received bytes are not thrown away before a command"),
    dict(id="exchange-chunk-timeout", file="link/exchange.cc",
         old="#define QKR_NEXT_CHUNK_TIMEOUT (-20000000LL) // 2 s",
         new="#define QKR_NEXT_CHUNK_TIMEOUT (-200000LL) // 2 s",
         what="wrong time-out: 20 ms instead of 2 s allowed between chunks of a reply"),
    dict(id="serialio-no-cancel", file="link/serial_io.cc",
         old="IoCancelIrp(irp);\n                KeWaitForSingleObject(&context.Returned",
         new="(void)irp;\n                KeWaitForSingleObject(&context.Returned",
         what="[hang] dropped cancel: a serial request whose time-out expired is waited for "
              "without being cancelled"),
    # --- card: power, protocol, transmit, vendor ---
    dict(id="power-slot-zero", file="card/power.cc",
         old="request[1] = (UCHAR)SmartcardExtension->ReaderExtension->SlotNumber;",
         new="request[1] = 0x00;",
         what="swapped slot: power commands of slot 1 go to slot 0"),
    dict(id="power-cold-sends-warm", file="card/power.cc",
         old="status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_POWER_ON, QKR_MODE_POWER_ON);",
         new="status = Qkr_SendPowerCommand(SmartcardExtension, RDCMD_WARM_RESET, QKR_MODE_POWER_ON);",
         what="wrong byte on the wire: a cold reset powers the card on with the warm-reset command"),
    dict(id="protocol-pts-check", file="card/protocol.cc",
         old="request[8] = (UCHAR)(QKR_PTSS ^ pts0 ^ pts1);",
         new="request[8] = (UCHAR)(pts0 ^ pts1);",
         what="wrong byte on the wire: the PTS check byte leaves PTSS out"),
    dict(id="transmit-le-cut-length", file="card/transmit.cc",
         old="SmartcardExtension->SmartcardReply.BufferLength -= 1;",
         new="SmartcardExtension->SmartcardReply.BufferLength -= 2;",
         what="off-by-one: old firmware's 256-byte answer cut for Le=255 loses one byte too many"),
    dict(id="vendor-speed-table", file="card/vendor.cc",
         old="{0, 38400, 19200, 9600, 4800, 2400, 1200};",
         new="{0, 19200, 38400, 9600, 4800, 2400, 1200};",
         what="wrong value: speed codes 1 and 2 swapped, the port follows the reader to the "
              "wrong speed"),
    # --- tracking ---
    dict(id="tracking-cts-is-dsr", file="tracking/tracking.cc",
         old="if (readerExtension->ModemStatus & SERIAL_CTS_STATE) {",
         new="if (readerExtension->ModemStatus & SERIAL_DSR_STATE) {",
         what="wrong line: card presence read from DSR instead of CTS"),
    dict(id="tracking-no-complete-idle", file="tracking/tracking.cc",
         old="if (!powerRequest && cardEvent && !busy) {",
         new="if (!powerRequest && cardEvent && busy) {",
         what="[hang] dropped step: a card change seen while the reader is idle completes no "
              "waiting card-tracking request"),
    # --- driver: pnp, power, request gate, entry ---
    dict(id="pnp-firmware-threshold", file="driver/pnp.cc",
         old="#define QKR_FIRMWARE_LONG_LE_FIXED 0x11",
         new="#define QKR_FIRMWARE_LONG_LE_FIXED 0x12",
         what="off-by-one: firmware 0011 still gets the old firmware's Le work-around"),
    dict(id="pnp-cancel-stop-keeps-gate", file="driver/pnp.cc",
         old=("deviceExtension->StopQueried = FALSE;\n"
              "            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);\n"
              "            KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);\n"
              "        }\n        break;\n\n    default:"),
         new=("deviceExtension->StopQueried = FALSE;\n"
              "            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);\n"
              "        }\n        break;\n\n    default:"),
         what="[hang] missing KeSetEvent: a cancelled stop query leaves the request gate closed"),
    dict(id="dpower-wake-keeps-gate", file="driver/power.cc",
         old="    PoStartNextPowerIrp(Irp);\n\n    Qkr_ReopenAfterSleep(deviceExtension);\n",
         new="    PoStartNextPowerIrp(Irp);\n\n    (void)deviceExtension;\n",
         what="[hang] dropped step: waking from D3 does not reopen the request gate"),
    dict(id="gate-never-closes", file="driver/dispatch.cc",
         old="if (DeviceExtension->IoCount > 0) {",
         new="if (DeviceExtension->IoCount >= 0) {",
         what="off-by-one: the request gate lets requests through while the device is stopped"),
    dict(id="entry-slot1-number", file="driver/entry.cc",
         old="reader1->SlotNumber = 1;",
         new="reader1->SlotNumber = 0;",
         what="swapped slot: slot 1's reader record names slot 0"),
    # --- platform: smart card library ---
    dict(id="t1-rblock-no-error", file="platform/smclib/t1.cc",
         old="pcb = UCHAR(kPcbR | ((t1.RSN & 1) << 4) | (t1.LastError & 0x03));",
         new="pcb = UCHAR(kPcbR | ((t1.RSN & 1) << 4));",
         what="wrong byte: R-blocks never carry the error code (EDC or other error)"),
    dict(id="atr-tb-swapped", file="platform/smclib/atr.cc",
         old="out.bwi = g.tb >> 4;\n            out.cwi = g.tb & 0x0F;",
         new="out.bwi = g.tb & 0x0F;\n            out.cwi = g.tb >> 4;",
         what="wrong value: BWI and CWI taken from the wrong halves of the T=1 TB byte"),
    dict(id="ioctl-power-atr-room", file="platform/smclib/ioctl.cc",
         old="r.output_length < MAXIMUM_ATR_LENGTH)",
         new="r.output_length <= MAXIMUM_ATR_LENGTH)",
         what="off-by-one: a reset with an output buffer of exactly the longest ATR is refused"),
    # --- platform: kernel stand-in ---
    dict(id="io-cancel-no-routine", file="platform/kernel/io.cc",
         old="    routine(dev, Irp); // releases the cancel spin lock\n",
         new="    (void)dev;\n    IoReleaseCancelSpinLock(irql);\n",
         what="[hang] dropped step: IoCancelIrp marks the IRP but never calls its cancel routine"),
    dict(id="ke-cancel-timer-noop", file="platform/kernel/ke.cc",
         old="return unqueue_timer(k, Timer) ? TRUE : FALSE;",
         new="return Timer->Inserted ? TRUE : FALSE;",
         what="dropped step: KeCancelTimer leaves the timer queued, so it still fires"),
    # --- platform: serial port, simulated line, tty ---
    dict(id="serial-wait-unmasked", file="platform/serial/serial_port.cc",
         old="    events &= wait_mask_;\n",
         new="    events &= kValidEvents;\n",
         what="wrong mask: a wait on mask completes for events outside the wait mask"),
    dict(id="simline-no-dsr-notify", file="platform/serial/sim_line.cc",
         old=("lines_.dsr = on;\n    notify([lines = lines_](LinePortSink* sink, LineDevice*) {\n"
              "        if (sink != nullptr)\n            sink->on_modem_change(lines);"),
         new=("lines_.dsr = on;\n    notify([lines = lines_](LinePortSink* sink, LineDevice*) {\n"
              "        if (sink != nullptr)\n            (void)lines;"),
         what="dropped step: a DSR change on the simulated line never reaches the port"),
    dict(id="tty-side-channel-length", file="platform/serial/tty/tty_line.cc",
         old="if (space == std::string_view::npos || space + 2 != line.size()) {",
         new="if (space == std::string_view::npos || space + 1 != line.size()) {",
         what="off-by-one: every modem-line report on the tty's side channel is ignored"),
    # --- simulator ---
    dict(id="cards-pts-refuses-max", file="sim/cards.cc",
         old="d_from_code(dl) <= d_from_code(info_.di_code)",
         new="d_from_code(dl) < d_from_code(info_.di_code)",
         what="off-by-one: the simulated card refuses a PTS to the fastest rate it offers"),
    dict(id="fs-read-status", file="sim/file_system.cc",
         old="sw(count < *apdu.ne ? 0x6282 : 0x9000)",
         new="sw(count <= *apdu.ne ? 0x6282 : 0x9000)",
         what="wrong status: READ BINARY of exactly the asked length ends with 6282"),
    dict(id="readerline-speed-early", file="sim/reader_line.cc",
         old="after(line_time(bytes) + kern::microseconds(100), [this, b] {",
         new="after(line_time(bytes) / 100 + kern::microseconds(100), [this, b] {",
         what="wrong time-out: the simulated reader changes speed before its reply to the "
              "speed change has left"),
    # --- host, tools ---
    dict(id="host-slot-swap", file="host/host.cc",
         old="return n == 0 ? &e->SmartcardExtension : &e->SecondSmartcardExtension;",
         new="return n == 1 ? &e->SmartcardExtension : &e->SecondSmartcardExtension;",
         what="swapped slot: the host's view of slot n is the other slot's record"),
    dict(id="qkr-take-slot", file="tools/qkr/script.cc",
         old="if (args.size() > needed && (args.back() == \"0\" || args.back() == \"1\")) {",
         new="if (args.size() >= needed && (args.back() == \"0\" || args.back() == \"1\")) {",
         what="off-by-one: a script command's own last argument 0 or 1 is taken as a slot"),
    dict(id="ifd-no-card-status", file="tools/pcsc/ifd.cc",
         old="case Result::NoCard:\n        return IFD_ICC_NOT_PRESENT;",
         new="case Result::NoCard:\n        return IFD_COMMUNICATION_ERROR;",
         what="wrong status: the PC/SC handler reports a missing card as a communication error"),
]

NICE = ["nice", "-n", "19"]
_current_child = None


class Interrupted(Exception):
    pass


def _on_signal(signum, frame):
    raise Interrupted(f"signal {signum}")


def run(cmd, cwd, log=None, timeout=None):
    """Runs cmd in its own process group; kills the whole group if we are interrupted."""
    global _current_child
    out = open(log, "a") if log else subprocess.DEVNULL
    try:
        if log:
            out.write(f"\n$ {shlex.join(cmd)}\n")
            out.flush()
        p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, errors="replace", start_new_session=True)
        _current_child = p
        try:
            text, _ = p.communicate(timeout=timeout)
        except BaseException:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(p.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    p.wait(timeout=5)
                    break
                except subprocess.TimeoutExpired:
                    pass
            raise
        finally:
            _current_child = None
        if log:
            out.write(text)
        return p.returncode, text
    finally:
        if log:
            out.close()


# --- the source tree and the restore journal ---

class Journal:
    """Keeps the original of a file being mutated, so a killed run can be undone later."""

    def __init__(self, src: Path, build: Path):
        self.src = src
        self.dir = build / "plant-faults" / "journal"

    def recover(self):
        if not self.dir.is_dir():
            return
        for saved in sorted(self.dir.glob("*.orig")):
            rel = json.loads((saved.with_suffix(".json")).read_text())["file"]
            (self.src / rel).write_bytes(saved.read_bytes())
            print(f"restored {rel} left changed by an earlier run", flush=True)
            saved.with_suffix(".json").unlink()
            saved.unlink()

    def save(self, rel: str, data: bytes) -> Path:
        self.dir.mkdir(parents=True, exist_ok=True)
        key = rel.replace("/", "__")
        (self.dir / f"{key}.json").write_text(json.dumps({"file": rel}))
        (self.dir / f"{key}.orig").write_bytes(data)
        return self.dir / f"{key}.orig"

    def drop(self, rel: str):
        key = rel.replace("/", "__")
        for suffix in (".orig", ".json"):
            (self.dir / f"{key}{suffix}").unlink(missing_ok=True)


def mutated_text(src: Path, fault) -> tuple[bytes, bytes]:
    path = src / fault["file"]
    original = path.read_bytes()
    text = original.decode()
    count = text.count(fault["old"])
    assert count == 1, f"{fault['id']}: the old text occurs {count} times in {fault['file']}"
    return original, text.replace(fault["old"], fault["new"]).encode()


class Mutation:
    """Applies one fault for the duration of a with-block and restores the file exactly."""

    def __init__(self, src: Path, journal: Journal, fault):
        self.src, self.journal, self.fault = src, journal, fault

    def __enter__(self):
        self.path = self.src / self.fault["file"]
        self.original, changed = mutated_text(self.src, self.fault)
        self.journal.save(self.fault["file"], self.original)
        self.path.write_bytes(changed)
        return self

    def __exit__(self, *exc):
        self.path.write_bytes(self.original)
        assert self.path.read_bytes() == self.original
        self.journal.drop(self.fault["file"])
        return False


# --- ctest ---

def ctest_tests(build: Path):
    """Number -> (name, command, labels), as ctest lists them now."""
    code, text = run(["ctest", "--show-only=json-v1"], cwd=build)
    if code != 0:
        raise RuntimeError("ctest --show-only failed:\n" + text[-2000:])
    tests = {}
    for i, t in enumerate(json.loads(text)["tests"], start=1):
        labels = []
        for p in t.get("properties", []):
            if p["name"] == "LABELS":
                labels = p["value"]
        tests[i] = dict(name=t["name"], command=t.get("command") or [], labels=labels)
    return tests


def same_test(name):
    """A test's name without the value gtest prints for a parameter: that value may hold
    addresses, which change from one build to the next."""
    return name.split("  # GetParam()")[0].strip()


FAILED_LINE = re.compile(r"^\s*(\d+) - (.*) \(([^()]*)\)\s*$")


def run_ctest(build: Path, args, log, numbers=None, stop_on_failure=False):
    """Runs ctest; returns {number: (name, kind)} of the tests that did not pass."""
    failed_log = build / "Testing" / "Temporary" / "LastTestsFailed.log"
    failed_log.unlink(missing_ok=True)
    cmd = NICE + ["ctest", "-j", str(args.jobs), "--timeout", str(args.timeout)]
    if stop_on_failure:
        cmd.append("--stop-on-failure")
    # Only on a whole run: ctest counts the numbers of -I among the tests a label filter left,
    # so both together would pick other tests than the ones named.
    if args.exclude_label and numbers is None:
        cmd += ["-LE", "|".join(f"^{re.escape(l)}$" for l in args.exclude_label)]
    if numbers is not None:
        cmd += ["-I", "0,0,0," + ",".join(str(n) for n in sorted(numbers))]
    _, text = run(cmd, cwd=build, log=log)
    failed = {}
    in_summary = False
    for line in text.splitlines():
        if line.startswith("The following tests FAILED"):
            in_summary = True
            continue
        if in_summary:
            m = FAILED_LINE.match(line)
            if m:
                failed[int(m.group(1))] = (m.group(2), m.group(3))
    # The summary may be cut short by an interrupted run; the log file has every name.
    if failed_log.exists():
        for line in failed_log.read_text(errors="replace").splitlines():
            num, _, name = line.partition(":")
            if num.strip().isdigit() and int(num) not in failed:
                failed[int(num)] = (name, "Failed")
    return failed


# --- which test file a test comes from ---

class TestFiles:
    """Maps a ctest test to the test source file that defines it (best effort)."""

    def __init__(self, src: Path, build: Path):
        self.src, self.build = src.resolve(), build.resolve()
        self.exe_sources = self._read_ninja()
        self.cache = {}

    def _read_ninja(self):
        sources = {}
        ninja = self.build / "build.ninja"
        if not ninja.exists():
            return sources
        # Executables whose tests are discovered after the build have extra outputs.
        rule = re.compile(r"^build (\S+).*?: CXX_EXECUTABLE_LINKER\S* (.*)$")
        for line in ninja.read_text(errors="replace").splitlines():
            m = rule.match(line)
            if not m:
                continue
            exe = (self.build / m.group(1).replace("$:", ":")).resolve()
            files = []
            inputs = m.group(2).split(" | ")[0].split(" || ")[0]
            for obj in inputs.split():
                om = re.match(r"^(.*?)/?CMakeFiles/[^/]+\.dir/(.*)\.o$", obj)
                if not om:
                    continue
                rel = os.path.normpath(os.path.join(om.group(1), om.group(2).replace("__", "..")))
                files.append(rel)
            sources[str(exe)] = files
        return sources

    def file_of(self, test):
        cmd = test["command"]
        if not cmd:
            return "?"
        # A script test: the script inside the source tree.
        for word in cmd[:3]:
            p = Path(word)
            if p.suffix in (".sh", ".py") and str(p).startswith(str(self.src)):
                return str(p.relative_to(self.src))
        exe = str(Path(cmd[0]).resolve())
        files = [f for f in self.exe_sources.get(exe, [])
                 if f.startswith("tests/") and f.endswith(".cc")]
        gfilter = next((w.split("=", 1)[1] for w in cmd if w.startswith("--gtest_filter=")), None)
        exe_rel = os.path.relpath(exe, self.build)
        if gfilter is None or not files:
            return files[0] if len(files) == 1 else exe_rel
        suite, _, name = gfilter.partition(".")
        suite = suite.split("/")[-1]
        name = name.split("/")[0]
        key = (exe, suite, name)
        if key in self.cache:
            return self.cache[key]
        exact = re.compile(r"\b(?:TEST|TEST_F|TEST_P|TYPED_TEST)\(\s*" + re.escape(suite) +
                           r"\s*,\s*" + re.escape(name) + r"\s*\)")
        loose = re.compile(r"\b" + re.escape(suite) + r"\b")
        hits = []
        for f in files:
            try:
                text = (self.src / f).read_text(errors="replace")
            except OSError:
                continue
            if exact.search(text):
                hits.append(f)
        if not hits:
            for f in files:
                try:
                    text = (self.src / f).read_text(errors="replace")
                except OSError:
                    continue
                if loose.search(text):
                    hits.append(f)
        result = hits[0] if len(hits) == 1 else (files[0] if len(files) == 1 else exe_rel)
        self.cache[key] = result
        return result


# --- the campaign ---

def area_of(rel):
    return os.path.dirname(rel) or rel


def fmt_secs(s):
    return f"{int(s) // 60}m{int(s) % 60:02d}s"


def build_tree(build: Path, log):
    code, text = run(NICE + ["cmake", "--build", str(build)], cwd=build, log=log)
    return code == 0, text


def check_faults(src: Path, build: Path, faults, journal):
    """Compiles every mutated file on its own (syntax and warnings only)."""
    db = json.loads((build / "compile_commands.json").read_text())
    by_file = {}
    for entry in db:
        by_file.setdefault(str(Path(entry["file"]).resolve()), entry)
    ok = True
    for f in faults:
        path = (src / f["file"]).resolve()
        entry = by_file.get(str(path))
        try:
            mutated_text(src, f)
        except AssertionError as e:
            print(f"FAIL {f['id']}: {e}", flush=True)
            ok = False
            continue
        if entry is None:
            print(f"?    {f['id']}: {f['file']} is not in compile_commands.json", flush=True)
            continue
        cmd = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
        # Drop the output, keep everything else; check syntax and warnings only.
        clean = []
        skip = False
        for w in cmd:
            if skip:
                skip = False
                continue
            if w in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
                continue
            if w in ("-MD", "-MMD") or os.path.basename(w) == "ccache":
                continue
            clean.append(w)
        clean.append("-fsyntax-only")
        with Mutation(src, journal, f):
            code, text = run(NICE + clean, cwd=entry["directory"])
        print(f"{'ok  ' if code == 0 else 'FAIL'} {f['id']}", flush=True)
        if code != 0:
            print(text[-3000:], flush=True)
            ok = False
    return ok


def result_to_json(r):
    return dict(id=r["fault"]["id"], status=r["status"],
                caught=sorted([name, kind] for name, kind in r["caught"].values()),
                files=r["files"], flaky=r["flaky"], secs=r["secs"], run=r["run"])


def write_report(out: Path, state, tests_all, files_of):
    """The markdown table and summary for every fault measured so far (this run and the runs
    it was appended to), and the same as JSON beside it."""
    out.with_suffix(".json").write_text(json.dumps(state, indent=1))
    by_id = {f["id"]: f for f in FAULTS}
    results = [dict(r, fault=by_id[r["id"]]) for r in
               sorted(state["results"].values(),
                      key=lambda r: [f["id"] for f in FAULTS].index(r["id"])
                      if r["id"] in by_id else 999)
               if r["id"] in by_id]
    lines = []
    caught = [r for r in results if r["status"] == "caught"]
    measured = [r for r in results if r["status"] in ("caught", "missed")]
    lines.append("# Planted faults")
    lines.append("")
    lines.append(f"Caught {len(caught)} of {len(measured)} faults (suite: {len(tests_all)} tests).")
    lines.append("")
    for i, run_ in enumerate(state["runs"], start=1):
        excluded = run_.get("exclude_label") or []
        lines.append(f"Run {i}: `ctest -j{run_['jobs']} --timeout {run_['timeout']}`"
                     + (" --stop-on-failure" if run_.get("stop_on_failure") else "")
                     + (f" without label {', '.join(excluded)}" if excluded else "")
                     + f"; unmutated suite {fmt_secs(run_['baseline_secs'])}, campaign"
                     f" {fmt_secs(run_.get('total_secs', 0))}; faults: "
                     + ", ".join(r["id"] for r in results if r["run"] == i) + ".")
        if run_["baseline_failed"]:
            lines.append("  Left out (they failed on the unmutated tree): "
                         + ", ".join(f"`{n}`" for n in sorted(run_["baseline_failed"])) + ".")
        lines.append("")
    lines.append("| fault | file | what | caught | tests failing twice | test files | time |")
    lines.append("| --- | --- | --- | --- | --- | --- | --- |")
    for r in results:
        f = r["fault"]
        if r["status"] == "caught":
            names = sorted(n for n, _ in r["caught"])
            shown = ", ".join(f"`{n}`" for n in names[:6])
            if len(names) > 6:
                shown += f" … (+{len(names) - 6})"
            kinds = sorted({k for _, k in r["caught"]} - {"Failed"})
            tests_cell = f"{len(names)}: {shown}" + (f" [{', '.join(kinds)}]" if kinds else "")
            files_cell = ", ".join(f"{p} ({r['files'][p]})" for p in sorted(r["files"]))
            verdict = "yes"
        else:
            tests_cell = files_cell = ""
            verdict = {"missed": "**no**", "build-failed": "build failed (script bug)"}.get(
                r["status"], r["status"])
            if r.get("flaky"):
                tests_cell = "failed once only: " + ", ".join(f"`{n}`" for n in r["flaky"])
        lines.append(f"| {f['id']} | {f['file']} | {f['what']} | {verdict} | {tests_cell} | "
                     f"{files_cell} | {fmt_secs(r['secs'])} |")
    lines.append("")
    missed = [r["fault"]["id"] for r in results if r["status"] == "missed"]
    lines.append("Not caught: " + (", ".join(missed) if missed else "none") + ".")
    lines.append("")
    # Unique catches: a fault caught by exactly one test file.
    unique = {}
    for r in caught:
        if len(r["files"]) == 1:
            unique.setdefault(next(iter(r["files"])), []).append(r["fault"]["id"])
    lines.append("## Test files with unique catches (the only file catching a fault)")
    lines.append("")
    if unique:
        for p in sorted(unique):
            lines.append(f"- {p}: {', '.join(unique[p])}")
    else:
        lines.append("- none")
    lines.append("")
    all_files = sorted({files_of(t) for num, t in tests_all.items()})
    catching = {}
    for r in caught:
        for p in r["files"]:
            catching.setdefault(p, []).append(r["fault"]["id"])
    lines.append("## Test files without a unique catch")
    lines.append("")
    for p in all_files:
        if p in unique:
            continue
        also = catching.get(p)
        lines.append(f"- {p}: " + (f"caught only what others caught too ({', '.join(also)})"
                                     if also else "caught nothing"))
    lines.append("")
    out.write_text("\n".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--src", type=Path)
    ap.add_argument("--build", type=Path)
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--stop-on-failure", action="store_true")
    ap.add_argument("--out", type=Path)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=90)
    ap.add_argument("--exclude-label", action="append", default=[],
                    help="leave out the tests with this ctest label (repeatable)")
    ap.add_argument("--append", action="store_true",
                    help="add to the results already in OUT (its .json), replacing any of the "
                         "same faults")
    ap.add_argument("--check", action="store_true",
                    help="only check that every fault applies and compiles on its own")
    ap.add_argument("--list", action="store_true", help="list the faults and end")
    args = ap.parse_args()

    faults = FAULTS
    if args.only:
        wanted = [w.strip() for w in args.only.split(",") if w.strip()]
        known = {f["id"] for f in FAULTS}
        unknown = [w for w in wanted if w not in known]
        if unknown:
            ap.error("unknown fault ids: " + ", ".join(unknown))
        faults = [f for f in FAULTS if f["id"] in wanted]
    if args.list:
        for f in faults:
            print(f"{f['id']:28} {f['file']:34} {f['what']}")
        return 0
    if args.src is None or args.build is None:
        ap.error("--src and --build are required")
    src, build = args.src.resolve(), args.build.resolve()
    ids = [f["id"] for f in FAULTS]
    assert len(ids) == len(set(ids)), "fault ids must be unique"

    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGHUP, _on_signal)
    journal = Journal(src, build)
    journal.recover()
    for f in faults:  # every fault must apply before anything is changed
        mutated_text(src, f)

    if args.check:
        return 0 if check_faults(src, build, faults, journal) else 1

    logs = build / "plant-faults" / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    out = args.out or (build / "plant-faults" / "results.md")
    started = time.monotonic()

    print("building the unmutated tree", flush=True)
    ok, text = build_tree(build, logs / "baseline.log")
    if not ok:
        print(text[-3000:])
        print("the unmutated tree does not build", flush=True)
        return 2
    tests_all = ctest_tests(build)
    files = TestFiles(src, build)
    files_of = lambda t: files.file_of(t)  # noqa: E731
    t0 = time.monotonic()
    print(f"running the unmutated suite ({len(tests_all)} tests)", flush=True)
    baseline_failed = run_ctest(build, args, logs / "baseline.log")
    baseline_secs = time.monotonic() - t0
    print(f"unmutated suite: {fmt_secs(baseline_secs)}, {len(baseline_failed)} failing: " +
          ", ".join(n for n, _ in baseline_failed.values()), flush=True)
    excluded_names = {same_test(n) for n, _ in baseline_failed.values()}

    state = {"runs": [], "results": {}}
    if args.append and out.with_suffix(".json").exists():
        state = json.loads(out.with_suffix(".json").read_text())
    run_info = dict(jobs=args.jobs, timeout=args.timeout, stop_on_failure=args.stop_on_failure,
                    exclude_label=args.exclude_label, baseline_secs=baseline_secs,
                    baseline_failed=sorted(excluded_names), total_secs=0)
    state["runs"].append(run_info)
    run_number = len(state["runs"])

    def report():
        run_info["total_secs"] = time.monotonic() - started
        write_report(out, state, tests_all, files_of)

    results = []
    try:
        for i, f in enumerate(faults, start=1):
            t_start = time.monotonic()
            log = logs / f"{f['id']}.log"
            log.unlink(missing_ok=True)
            r = dict(fault=f, status="missed", caught={}, files={}, flaky=[], run=run_number)
            print(f"[{i}/{len(faults)}] {f['id']} ({f['file']}): building", flush=True)
            with Mutation(src, journal, f):
                ok, text = build_tree(build, log)
                if not ok:
                    r["status"] = "build-failed"
                    print(f"  BUILD FAILED (script bug), skipped; see {log}", flush=True)
                else:
                    tests_now = ctest_tests(build)
                    number_of = {t["name"]: n for n, t in tests_now.items()}
                    print("  running the suite", flush=True)
                    first = run_ctest(build, args, log, stop_on_failure=args.stop_on_failure)
                    first = {n: v for n, v in first.items()
                             if same_test(v[0]) not in excluded_names}
                    again = {}
                    if first:
                        rerun = {number_of.get(v[0], n) for n, v in first.items()}
                        print(f"  {len(first)} failed; running them again", flush=True)
                        again = run_ctest(build, args, log, numbers=rerun)
                    for n, (name, kind) in first.items():
                        if any(same_test(name) == same_test(a) for a, _ in again.values()):
                            r["caught"][n] = (name, kind)
                        else:
                            r["flaky"].append(name)
                    if r["caught"]:
                        r["status"] = "caught"
                        for n, (name, _) in r["caught"].items():
                            p = files_of(tests_now.get(n) or {"command": []})
                            r["files"][p] = r["files"].get(p, 0) + 1
            r["secs"] = time.monotonic() - t_start
            results.append(r)
            verdict = (f"caught by {len(r['caught'])} tests in {len(r['files'])} files"
                       if r["status"] == "caught" else r["status"].upper())
            print(f"  {verdict} ({fmt_secs(r['secs'])})", flush=True)
            state["results"][f["id"]] = result_to_json(r)
            report()
    except (KeyboardInterrupt, Interrupted) as e:
        print(f"interrupted ({e}); the product files are restored", flush=True)
        report()
        return 130
    print("rebuilding the restored tree", flush=True)
    build_tree(build, logs / "final.log")
    total = time.monotonic() - started
    report()
    caught = sum(1 for r in results if r["status"] == "caught")
    measured = sum(1 for r in results if r["status"] in ("caught", "missed"))
    print(f"caught {caught} of {measured} faults in {fmt_secs(total)}; report: {out}", flush=True)
    for r in results:
        if r["status"] != "caught":
            print(f"  {r['status']}: {r['fault']['id']} ({r['fault']['file']})")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
