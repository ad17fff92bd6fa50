#!/usr/bin/env python3
"""Generate deterministic OMG IDL models for vandrel's benchmarks and tests.

Usage:
    gen_models.py --size BYTES [--seed S] --out FILE [--write-includes DIR]
    gen_models.py --files N [--size BYTES] [--seed S] --out DIR

BYTES takes an optional suffix: K = 1000, M = 1000000, Ki = 1024, Mi = 1048576
(so 100K, 1M, 10M, 64Ki).  The same arguments always give the same bytes
(standard library only, no dependence on hash order or platform).

One file (--size without --files): one model of about BYTES bytes. It uses
nested modules (1-3 deep), structures with single inheritance, unions
(integer and enum discriminators), enumerations, bitmasks, bitsets, typedefs,
constants with expressions, annotations (@key @optional @final @appendable
@mutable @id @range @position), both comment styles, an include guard,
#include lines, object-like and function-like macros used as bounds, and
#ifdef/#else/#endif sections. --write-includes DIR also writes the small
files its #include lines name, for tools that read included files.

Many files (--files N): N files below DIR in one folder per top-level
module plus common/, each with an include guard and #include "..." lines
(relative to the including file) of earlier files, so the include graph has
no cycle. Every file uses types and constants of the files it includes, and
the top-level module of a folder is reopened in each of its files. --size is
then the mean size of one file (default 3000 bytes). Each file also
converts on its own: the bounds macros sit in a guarded block of each file.

Types refer to earlier types of the same cluster (one opening of a top-level
module) or to a pool of shallow "common" types, so a type's dependency
closure stays small as in real data models. An anonymous sequence is never
the element of another sequence (that has no DDS-XML form); ">>" never
closes nested templates, and no name differs only in case from another
name or a keyword.
"""

import argparse
import os
import random
import sys

INCLUDES = [
    ("common_types.idl", "CommonTypes"),
    ("units.idl", "Units"),
    ("qos_profiles.idl", "QosProfiles"),
]

# Object-like macros used as bounds, and their values.
MACROS = [("SIZE", 16), ("MAX_NAME_LEN", 64), ("MAX_SAMPLES", 256)]
DEFINED_FEATURES = ["HAS_TIMESTAMPS", "HAS_HEALTH_REPORTS"]
UNDEFINED_FEATURES = [
    "FEATURE_LEGACY_IDS", "FEATURE_EXTENDED_DIAG", "FEATURE_DEBUG_INFO",
    "FEATURE_WIDE_COUNTERS", "FEATURE_SECURITY", "FEATURE_EXPERIMENTAL",
]

TOP_MODULES = [
    "Fleet", "Avionics", "Robotics", "Logistics", "Maritime", "Railway",
    "Energy", "Medical", "Plant", "Traffic", "Weather", "Satellite",
    "Drone", "Vehicle", "Warehouse", "Mining", "Agritech", "Telecom",
    "Building", "Water", "Airport", "Harbor", "Transit", "Process",
]
NESTED_MODULES = [
    "Telemetry", "Control", "Diagnostics", "Navigation", "Power", "Comms",
    "Sensors", "Actuators", "Mission", "Health", "Config", "Logging",
    "Planning", "Safety", "Monitoring", "Inventory", "Scheduling",
    "Maintenance", "Alarms", "Operations", "Tracking", "Storage",
]
DEEP_MODULES = [
    "Detail", "Internal", "Raw", "Processed", "Ext", "Legacy", "Calibration",
    "Summary", "Bulk", "Realtime", "Archive", "Preview",
]

TYPE_NOUNS = [
    "Track", "Sensor", "Engine", "Battery", "Motor", "Wheel", "Camera",
    "Lidar", "Radar", "Gps", "Imu", "Route", "Waypoint", "Mission", "Cargo",
    "Pallet", "Order", "Shipment", "Alarm", "Fault", "Thermal", "Pressure",
    "Flow", "Valve", "Pump", "Door", "Brake", "Steering", "Joint", "Gripper",
    "Arm", "Antenna", "Link", "Channel", "Beacon", "Zone", "Lane", "Signal",
    "Meter", "Tank", "Fuel", "Charge", "Cell", "Panel", "Inverter", "Breaker",
    "Feeder", "Turbine", "Rotor", "Blade", "Hull", "Rudder", "Ballast",
    "Crane", "Conveyor", "Robot", "Operator", "Crew", "Patient", "Device",
    "Node", "Gateway", "Clock", "Timer", "Shift", "Task", "Job", "Recipe",
    "Batch", "Lot", "Image", "Scan", "Point", "Tile", "Obstacle", "Target",
    "Contact", "Vessel", "Aircraft", "Runway", "Gate", "Platform", "Train",
    "Wagon", "Switch", "Relay", "Heater", "Cooler", "Fan", "Filter", "Nozzle",
    "Spindle", "Axis", "Servo", "Encoder", "Payload", "Dock", "Berth",
    "Container", "Parcel", "Bin", "Shelf", "Forklift", "Truck", "Trailer",
    "Driver", "Trip", "Stop", "Tariff", "Account", "Session", "Peer",
    "Endpoint", "Topic", "Frame", "Region", "Parcel", "Well", "Drill",
    "Pipeline", "Reservoir", "Substation", "Transformer", "Line", "Bus",
]
TYPE_QUALIFIERS = [
    "Raw", "Filtered", "Fused", "Remote", "Local", "Primary", "Backup",
    "Aux", "Main", "Front", "Rear", "Left", "Right", "Upper", "Lower",
    "Inner", "Outer", "Smart", "Mobile", "Fixed", "Ground", "Air", "Sea",
    "Hydraulic", "Electric", "Optical", "Acoustic", "Thermal", "Inertial",
    "Global", "Regional", "Daily", "Hourly", "Live", "Cached", "Planned",
    "Actual", "Virtual", "Physical", "Spare",
]
STRUCT_SUFFIXES = [
    "Report", "Status", "State", "Info", "Data", "Config", "Command",
    "Request", "Response", "Event", "Sample", "Reading", "Record", "Summary",
    "Header", "Descriptor", "Limits", "Settings", "Snapshot", "Update",
    "Message", "Stats", "Metrics", "Profile", "Entry", "Estimate", "Plan",
    "Packet", "Notice", "Heartbeat",
]
ENUM_SUFFIXES = ["Mode", "Kind", "Level", "Phase", "Category", "Result",
                 "Severity", "Stage", "Class", "Reason"]
UNION_SUFFIXES = ["Payload", "Variant", "Choice", "Body", "Detail", "Content",
                  "Selector", "Option"]
BITMASK_SUFFIXES = ["Flags", "Mask", "Options", "Caps", "Features"]
BITSET_SUFFIXES = ["Bits", "Word", "Register", "Fields", "Packed"]
TYPEDEF_SUFFIXES = {
    "seq": ["Seq", "List", "Buffer", "History", "Queue", "Series"],
    "string": ["Name", "Label", "Text", "Tag", "Path", "Code"],
    "array": ["Matrix", "Grid", "Table", "Block", "Vector", "Window"],
    "alias": ["Id", "Handle", "Ref", "Counter", "Index", "Number"],
}

ENUMERATOR_WORDS = [
    "IDLE", "ACTIVE", "STANDBY", "FAULT", "OFFLINE", "STARTING", "STOPPING",
    "DEGRADED", "NOMINAL", "WARNING", "CRITICAL", "UNKNOWN", "MANUAL", "AUTO",
    "LOCAL", "REMOTE", "LOW", "MEDIUM", "HIGH", "OPEN", "CLOSED", "LOCKED",
    "ARMED", "DISARMED", "READY", "BUSY", "PAUSED", "ABORTED", "COMPLETE",
    "PENDING", "REJECTED", "ACCEPTED", "TIMEOUT", "RETRY", "SAFE", "TEST",
    "MAINTENANCE", "EMERGENCY", "CALIBRATING", "CHARGING", "DISCHARGING",
    "NORTH", "SOUTH", "EAST", "WEST", "PRIMARY", "SECONDARY", "NONE", "OTHER",
]
BIT_WORDS = [
    "ENABLED", "READY", "FAULT", "OVERHEAT", "LOW_POWER", "OVERLOAD",
    "LOCKED", "MOVING", "CHARGING", "CONNECTED", "SYNCED", "CALIBRATED",
    "DEGRADED", "MAINTENANCE_DUE", "DOOR_OPEN", "E_STOP", "REMOTE_CTRL",
    "LOGGING", "SIMULATED", "VALIDATED", "ENCRYPTED", "COMPRESSED",
]

MEMBER_WORDS = [
    "speed", "heading", "altitude", "latitude", "longitude", "temperature",
    "pressure", "voltage", "current", "power", "energy", "distance", "angle",
    "rate", "count", "level", "offset", "duration", "timeout", "interval",
    "period", "code", "name", "label", "status", "state", "mode", "flags",
    "timestamp", "version", "serial", "checksum", "priority", "quality",
    "confidence", "error", "load", "torque", "force", "velocity",
    "acceleration", "depth", "width", "height", "length", "weight", "mass",
    "volume", "frequency", "gain", "bias", "scale", "threshold", "limit",
    "setpoint", "humidity", "capacity", "throughput", "latency", "jitter",
    "uptime", "counter", "source", "destination", "owner", "zone", "lane",
    "slot", "channel", "revision", "origin", "target", "reason", "detail",
    "comment", "description", "samples", "readings", "values", "history",
    "items", "entries", "points", "tags", "labels", "flow", "margin",
]
MEMBER_QUALIFIERS = [
    "target", "current", "last", "next", "max", "min", "avg", "raw",
    "filtered", "estimated", "nominal", "measured", "commanded", "reference",
    "total", "peak", "local", "remote", "primary", "secondary", "start",
    "stop", "expected", "actual", "planned", "default", "initial", "final",
    "left", "right", "front", "rear", "inner", "outer", "motor", "battery",
    "sensor", "engine", "cell", "link", "track", "frame", "zone", "error",
]

DOC_PHRASES = [
    "Published periodically by the {a} service.",
    "Sent on change only; readers keep the last sample per key.",
    "Values are in SI units unless the member says otherwise.",
    "Produced by the {a} node at {n} Hz.",
    "Consumed by the {a} and {b} components.",
    "Kept for compatibility with the {a} interface of release {n}.",
    "One instance per {a}; the key identifies the source.",
    "Times are nanoseconds since the Unix epoch.",
    "Limits are checked by the {a} supervisor before use.",
    "Reserved members must be left at zero.",
]
DOC_NOUNS = ["telemetry", "control", "planner", "gateway", "recorder",
             "supervisor", "scheduler", "dispatcher", "monitor", "logger",
             "bridge", "estimator", "controller", "diagnostics", "archive"]
TRAILING_COMMENTS = [
    "// [m]", "// [m/s]", "// [deg]", "// [rad/s]", "// [degC]", "// [Pa]",
    "// [V]", "// [A]", "// [W]", "// [ms]", "// [ns]", "// [Hz]", "// [%]",
    "// 0 = not set", "// see interface control document 4.2", "// deprecated", "// optional in v2",
    "/* units: SI */", "/* read-only */", "// filled by the gateway",
    "// monotonic", "// wraps at max", "// per second", "// index into table",
]

# Lower-case words no generated identifier may take: IDL keywords, C, C++,
# Java and Python keywords, and annotation names (some tools confuse a member
# named like an annotation with the annotation).
RESERVED = set("""
abstract any alias attribute bitfield bitmask bitset boolean case char component
connector const consumes context custom default double exception emits enum
eventtype factory false finder fixed float getraises getter home import in inout
interface local long manages map mirrorport module multiple native object octet
oneway out primarykey private port porttype provides public publishes raises
readonly setraises setter sequence short string struct supports switch true
truncatable typedef typeid typename typeprefix unsigned union uses valuebase
valuetype void wchar wstring int8 uint8 int16 int32 int64 uint16 uint32 uint64
auto break continue do else extern for goto if inline int register restrict
return signed sizeof static volatile while bool catch class delete explicit
export friend mutable namespace new operator protected template this throw try
using virtual and or not xor final override null none assert def del elif except
finally from global is lambda nonlocal pass raise with yield as async await
key optional id range value position appendable min max unit external nested
topic hashid must_understand bit_bound extensibility verbatim autoid
default_literal ignore_literal_names try_construct non_serialized
data_representation service
""".split())


def parse_size(text):
    t = text.strip()
    mult = 1
    for suffix, m in (("Ki", 1024), ("Mi", 1048576), ("K", 1000), ("k", 1000),
                      ("M", 1000000)):
        if t.endswith(suffix):
            mult = m
            t = t[: -len(suffix)]
            break
    try:
        value = int(t) * mult
    except ValueError:
        raise argparse.ArgumentTypeError("not a size: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("size must be positive")
    return value


def upper_snake(camel):
    out = []
    for i, ch in enumerate(camel):
        if ch.isupper() and i > 0:
            out.append("_")
        out.append(ch.upper())
    return "".join(out)


PRIMS = [  # (type text, class, weight)
    ("long", "int", 14), ("unsigned long", "uint", 8), ("short", "int", 3),
    ("unsigned short", "uint", 3), ("long long", "int", 4),
    ("unsigned long long", "uint", 4), ("int8", "int", 1), ("uint8", "uint", 2),
    ("int16", "int", 2), ("uint16", "uint", 2), ("int32", "int", 4),
    ("uint32", "uint", 4), ("int64", "int", 3), ("uint64", "uint", 3),
    ("float", "float", 9), ("double", "float", 12), ("long double", "float", 1),
    ("char", "char", 2), ("wchar", "char", 1), ("boolean", "bool", 7),
    ("octet", "uint", 5),
]
KEY_PRIMS = [("long", 5), ("unsigned long", 4), ("long long", 2),
             ("unsigned long long", 1), ("int32", 2), ("uint32", 3),
             ("int64", 1), ("uint64", 2), ("short", 1), ("octet", 1)]
INT_RANGES = {
    "short": (-32768, 32767), "unsigned short": (0, 65535), "int8": (-128, 127),
    "uint8": (0, 255), "int16": (-32768, 32767), "uint16": (0, 65535),
    "octet": (0, 255),
}
COMMON_BOUNDS = [4, 8, 10, 12, 16, 20, 24, 32, 40, 50, 64, 80, 100, 128, 200,
                 255, 256, 500, 512, 1000, 1024, 4096]
ARRAY_DIMS = [2, 3, 4, 5, 6, 8, 10, 12, 16]


class Gen:
    def __init__(self, target, seed):
        self.r = random.Random(seed)
        self.seed = seed
        self.target = target
        self.chunks = []
        self.guard_name = None
        self.size = 0
        self.open_closers = []     # text that closes each open module
        self.done = False
        # Declared module-level names (lower case), member names ever used.
        self.decl_lower = set()
        self.member_lower = set()
        for _, mod in INCLUDES:
            self.decl_lower.add(mod.lower())
            self.decl_lower.add(upper_snake(mod).lower() + "_stub")
        for name, _ in MACROS:
            self.decl_lower.add(name.lower())
        self.decl_lower.add("dim")
        for f in DEFINED_FEATURES + UNDEFINED_FEATURES:
            self.decl_lower.add(f.lower())
        self.module_lower = set(m.lower() for m in TOP_MODULES + NESTED_MODULES
                                + DEEP_MODULES)
        assert not (self.module_lower & RESERVED)
        # Types are referenced within their cluster (one opening of a top-level
        # module) or from a global pool of shallow "common" types, so that a
        # type's dependency closure stays small, as in real data models.
        # A type's level is 0 when it refers to no other type, else one more
        # than the deepest type it refers to; common types have level <= 1.
        self.cluster = 0
        self.cluster_types = []
        self.cluster_structs = []   # usable as bases
        self.cluster_enums = []
        self.common = []
        self.common_structs = []
        self.enums = []
        self.cur_level = 0
        self.in_typedef = False
        self.int_consts = []  # dicts: path, name, value
        self.top_index = 0
        # What the current file declares (the many-file mode hands it to includers).
        self.exports = []
        self.exported_consts = []
        # Types of directly included files that the file still has to use once.
        self.imports_due = []

    # ----- output and budget ------------------------------------------------
    def emit(self, text):
        self.chunks.append(text)
        self.size += len(text)

    def tail_size(self):
        return sum(len(c) for c in self.open_closers) + len(self.footer())

    def footer(self):
        return "\n#endif /* %s */\n" % self.guard()

    def guard(self):
        return self.guard_name or "GEN_MODEL_S%d_IDL" % self.seed

    def fits(self, n):
        return self.size + n + self.tail_size() <= self.target

    # ----- names -------------------------------------------------------------
    def _ok_decl(self, name):
        low = name.lower()
        return (low not in self.decl_lower and low not in self.member_lower
                and low not in self.module_lower and low not in RESERVED)

    def type_name(self, suffixes):
        r = self.r
        for attempt in range(40):
            noun = r.choice(TYPE_NOUNS)
            if r.random() < 0.45 or attempt > 10:
                name = r.choice(TYPE_QUALIFIERS) + noun + r.choice(suffixes)
            else:
                name = noun + r.choice(suffixes)
            if attempt > 30:
                name += str(r.randint(2, 999))
            if self._ok_decl(name):
                self.decl_lower.add(name.lower())
                return name
        n = 2
        while not self._ok_decl(name + str(n)):
            n += 1
        name = name + str(n)
        self.decl_lower.add(name.lower())
        return name

    def decl_upper(self, base):
        """Reserve an UPPER_CASE module-level name (constant, enumerator)."""
        name = base
        n = 2
        while not self._ok_decl(name):
            name = "%s_%d" % (base, n)
            n += 1
        self.decl_lower.add(name.lower())
        return name

    def member_name(self, used):
        r = self.r
        for attempt in range(60):
            if r.random() < 0.45:
                name = r.choice(MEMBER_WORDS)
            else:
                name = r.choice(MEMBER_QUALIFIERS) + "_" + r.choice(MEMBER_WORDS)
            if attempt > 40:
                name += "_%d" % r.randint(2, 99)
            low = name.lower()
            if (low in used or low in self.decl_lower or low in self.module_lower
                    or low in RESERVED):
                continue
            used.add(low)
            self.member_lower.add(low)
            return name
        n = 2
        while ("field_%d" % n) in used:
            n += 1
        name = "field_%d" % n
        used.add(name)
        self.member_lower.add(name)
        return name

    # ----- references --------------------------------------------------------
    @staticmethod
    def ref(path, name, cur):
        if path == cur:
            return name
        return "::".join(path + [name])

    def type_ref(self, t, cur):
        return self.ref(t["path"], t["name"], cur)

    def register(self, t):
        self.exports.append(t)
        t["cluster"] = self.cluster
        t["level"] = self.cur_level
        self.cluster_types.append(t)
        if t["level"] <= 1:
            self.common.append(t)
        if t["kind"] == "struct" and t.get("inheritable"):
            self.cluster_structs.append(t)
            if t["level"] <= 1:
                self.common_structs.append(t)
        if t["kind"] == "enum":
            self.enums.append(t)
            self.cluster_enums.append(t)

    def uses(self, t):
        self.cur_level = max(self.cur_level, t["level"] + 1)

    def decl_ok(self, t, cur):
        # No typedef's type or base in a top-level module T is written as
        # T::X::A (some IDL compilers report a false name collision for it);
        # keeping this rule also keeps a seed's model stable over versions.
        return len(cur) != 1 or t["path"] == cur or t["path"][0] != cur[0]

    def pick_from(self, items, cur, window, strict):
        r = self.r
        if not items:
            return None
        pool = items[-window:] if r.random() < 0.7 else items
        if not strict:
            return r.choice(pool)
        cands = [t for t in pool if self.decl_ok(t, cur)]
        return r.choice(cands) if cands else None

    def take_import(self, cur):
        """The first type use of a file that includes others names one of their types."""
        strict = self.in_typedef and len(cur) == 1
        cands = [t for t in self.imports_due if not strict or self.decl_ok(t, cur)]
        if not cands:
            return None
        t = self.r.choice(cands)
        self.imports_due = []
        self.uses(t)
        return t

    def pick_type(self, cur):
        r = self.r
        strict = self.in_typedef and len(cur) == 1
        t = self.take_import(cur)
        if t is not None:
            return t
        if self.cluster_types and r.random() < 0.75:
            t = self.pick_from(self.cluster_types, cur, 40, strict)
        if t is None:
            t = self.pick_from(self.common, cur, 200, strict)
        if t is not None:
            self.uses(t)
        return t

    def pick_enum(self, cur):
        r = self.r
        if self.cluster_enums and r.random() < 0.7:
            e = self.pick_recent(self.cluster_enums)
        else:
            e = self.pick_recent(self.enums)
        if e is not None:
            self.uses(e)
        return e

    def pick_recent(self, items, window=60):
        r = self.r
        if not items:
            return None
        if r.random() < 0.8:
            return r.choice(items[-window:])
        return r.choice(items)

    def prim(self):
        r = self.r
        text, cls, _ = r.choices(PRIMS, weights=[w for _, _, w in PRIMS])[0]
        return text, cls

    def bound(self, cur, small=False):
        """A positive bound: literal, macro, constant or DIM(x)."""
        r = self.r
        x = r.random()
        if small:
            if x < 0.70:
                return str(r.choice(ARRAY_DIMS))
            if x < 0.82:
                return "SIZE"
            if x < 0.85:
                return "DIM(%d)" % r.randint(2, 4)
            c = self.pick_const(cur, 1, 32)
            return c if c else str(r.choice(ARRAY_DIMS))
        if x < 0.60:
            return str(r.choice(COMMON_BOUNDS))
        if x < 0.78:
            return r.choice(MACROS)[0]
        if x < 0.79:
            return "DIM(%d)" % r.choice([4, 8, 16, 32])
        c = self.pick_const(cur, 1, 4096)
        return c if c else str(r.choice(COMMON_BOUNDS))

    def pick_const(self, cur, lo, hi):
        r = self.r
        cands = [c for c in self.int_consts[-40:] if lo <= c["value"] <= hi]
        if not cands:
            return None
        c = r.choice(cands)
        return self.ref(c["path"], c["name"], cur)

    def string_type(self, cur, wide_ok=True):
        r = self.r
        wide = wide_ok and r.random() < 0.12
        kw = "wstring" if wide else "string"
        if r.random() < 0.35:
            return kw
        return "%s<%s>" % (kw, self.bound(cur))

    def seq_type(self, cur, depth=0):
        r = self.r
        x = r.random()
        if x < 0.45:
            elem, _ = self.prim()
        elif x < 0.60:
            elem = self.string_type(cur, wide_ok=False)
            if "<" in elem:
                elem = "string<%s>" % self.bound(cur)
        elif x < 0.66 and depth == 0:
            # An anonymous sequence of sequences has no DDS-XML form: name the inner one. The
            # inner draw is kept so that every other part of a seed's model stays as it was.
            self.seq_type(cur, depth + 1)
            elem = "long"
        else:
            t = self.pick_type(cur)
            if t is None:
                elem, _ = self.prim()
            else:
                elem = self.type_ref(t, cur)
        bounded = r.random() < 0.55
        inner = elem + (", %s" % self.bound(cur) if bounded else "")
        if inner.endswith(">"):
            inner += " "  # never write ">>": some tools read it as a shift
        return "sequence<%s>" % inner

    def member_type(self, cur):
        """Returns (type text, class)."""
        r = self.r
        t = self.take_import(cur)
        if t is not None:
            return self.type_ref(t, cur), "ref_" + t["kind"]
        x = r.random()
        if x < 0.50:
            return self.prim()
        if x < 0.63:
            return self.string_type(cur), "string"
        if x < 0.75:
            return self.seq_type(cur), "seq"
        t = self.pick_type(cur)
        if t is None:
            return self.prim()
        return self.type_ref(t, cur), "ref_" + t["kind"]

    def key_type(self, cur):
        r = self.r
        x = r.random()
        if x < 0.65:
            text = r.choices(KEY_PRIMS, weights=[w for _, w in KEY_PRIMS])[0][0]
            return text, "int"
        if x < 0.85 or not self.enums:
            if r.random() < 0.3:
                return "string", "string"
            return "string<%s>" % self.bound(cur), "string"
        e = self.pick_enum(cur)
        return self.ref(e["path"], e["name"], cur), "ref_enum"

    def range_anno(self, type_text, cls):
        r = self.r
        if cls == "float":
            lo = r.choice(["0.0", "-1.0", "-90.0", "-180.0", "0.5", "-40.0"])
            hi = r.choice(["1.0", "90.0", "180.0", "100.0", "360.0", "1000.0"])
            return "@range(min=%s, max=%s)" % (lo, hi)
        lim = INT_RANGES.get(type_text)
        if cls == "uint":
            lo = r.choice([0, 0, 1, 10])
        else:
            lo = r.choice([-100, -10, -1, 0, 1])
        hi = lo + r.choice([9, 99, 100, 1000, 3600])
        if lim:
            lo = max(lo, lim[0])
            hi = min(hi, lim[1])
        return "@range(min=%d, max=%d)" % (lo, hi)

    def doc_comment(self, ind):
        r = self.r
        n = r.randint(1, 3)
        sents = []
        for _ in range(n):
            p = r.choice(DOC_PHRASES)
            sents.append(p.format(a=r.choice(DOC_NOUNS), b=r.choice(DOC_NOUNS),
                                  n=r.choice([1, 5, 10, 20, 50, 100])))
        style = r.random()
        if style < 0.45:
            lines = [ind + "/**"] + [ind + " * " + s for s in sents] + [ind + " */"]
        elif style < 0.6:
            lines = [ind + "/* " + sents[0]] + [ind + "   " + s for s in sents[1:]]
            lines[-1] += " */"
        else:
            lines = [ind + "// " + s for s in sents]
        return lines

    # ----- declarations --------------------------------------------------------
    # Each returns (list of lines, commit callable or None).

    def gen_const(self, cur, ind):
        r = self.r
        kind = r.choices(
            ["long", "unsigned long", "short", "long long", "unsigned short",
             "double", "float", "string", "boolean", "octet", "char"],
            weights=[32, 10, 4, 4, 4, 14, 5, 12, 6, 3, 2])[0]
        stem = upper_snake(r.choice(TYPE_NOUNS))
        what = r.choice(["COUNT", "SIZE", "LEN", "LIMIT", "RATE", "PERIOD",
                         "TIMEOUT", "RETRIES", "SLOTS", "DEPTH", "ITEMS", "VERSION"])
        pre = r.choice(["MAX_", "MIN_", "DEFAULT_", "", "", "NUM_"])
        value = None
        if kind in ("double", "float"):
            what = r.choice(["GAIN", "SCALE", "FACTOR", "THRESHOLD", "OFFSET", "RATIO"])
            expr = r.choice(["0.5", "1.0", "9.81", "3.14159", "1.5e3", "2.5e-4",
                             "-40.0", "100.0", "0.001", "273.15"])
        elif kind == "string":
            what = r.choice(["TOPIC", "NAME", "PREFIX", "PARTITION", "PROFILE", "TAG"])
            expr = '"%s%s"' % (r.choice(DOC_NOUNS),
                               r.choice(["", "-v2", ".main", "_topic", " primary", "-a"]))
        elif kind == "boolean":
            what = r.choice(["ENABLED", "REQUIRED", "STRICT", "VERBOSE"])
            pre = ""
            expr = r.choice(["TRUE", "FALSE"])
        elif kind == "char":
            what = r.choice(["SEPARATOR", "MARK", "PREFIX_CHAR"])
            pre = ""
            expr = "'%s'" % r.choice(["-", "/", "x", "A", ":", "#"])
        else:
            same = [c for c in self.int_consts[-30:] if c["path"] == cur
                    and c["value"] < 1000]
            x = r.random()
            if same and x < 0.35:
                a = r.choice(same)
                form = r.randint(0, 4)
                if form == 0:
                    k = r.randint(1, 4)
                    m = r.randint(2, 4)
                    expr, value = "(%s + %d) * %d" % (a["name"], k, m), (a["value"] + k) * m
                elif form == 1:
                    m = r.randint(2, 8)
                    expr, value = "%s * %d" % (a["name"], m), a["value"] * m
                elif form == 2:
                    b = r.choice(same)
                    expr, value = "%s + %s" % (a["name"], b["name"]), a["value"] + b["value"]
                elif form == 3:
                    s = r.randint(1, 3)
                    expr, value = "%s << %d" % (a["name"], s), a["value"] << s
                else:
                    expr, value = "%s - 1" % a["name"], a["value"] - 1
            elif x < 0.45 and self.int_consts:
                a = r.choice(self.int_consts[-30:])
                k = r.randint(1, 10)
                expr = "%s + %d" % (self.ref(a["path"], a["name"], cur), k)
                value = a["value"] + k
            elif x < 0.55:
                value = r.choice([0x0F, 0x10, 0x1F, 0xFF, 0x100, 0x3FF, 0xFFF])
                expr = "0x%X" % value
            else:
                value = r.choice([1, 2, 3, 4, 5, 8, 10, 12, 16, 20, 25, 30, 32,
                                  50, 60, 64, 100, 128, 250, 256, 500, 1000, 1024])
                expr = str(value)
            lim = {"short": 32767, "unsigned short": 65535, "octet": 255}.get(kind)
            if lim is not None and value is not None and value > lim:
                value = r.choice([1, 2, 4, 8, 16, 32, 64, 100])
                expr = str(value)
            if value is not None and value < 0:
                value = 1
                expr = "1"
        name = self.decl_upper(pre + stem + "_" + what)
        line = "%sconst %s %s = %s;" % (ind, kind, name, expr)
        if r.random() < 0.15:
            line += "  " + r.choice(TRAILING_COMMENTS)
        lines = [line]

        def commit():
            if value is not None and kind != "octet":
                c = {"path": cur, "name": name, "value": value}
                self.int_consts.append(c)
                self.exported_consts.append(c)
        return lines, commit

    def gen_enum(self, cur, ind):
        r = self.r
        name = self.type_name(ENUM_SUFFIXES)
        prefix = upper_snake(name)
        n = r.choices([2, 3, 4, 5, 6, 8, 10], weights=[10, 20, 20, 15, 12, 6, 3])[0]
        words = r.sample(ENUMERATOR_WORDS, n)
        explicit_at = r.randint(1, n - 1) if r.random() < 0.18 else -1
        items = []
        nxt = 0
        for i, w in enumerate(words):
            en = self.decl_upper(prefix + "_" + w)
            if i == explicit_at:
                v = nxt + r.choice([1, 2, 5, 10, 100 - nxt if nxt < 99 else 3])
                items.append("%s = %d" % (en, v))
                nxt = v + 1
            else:
                items.append(en)
                nxt += 1
        lines = []
        if r.random() < 0.3:
            lines += self.doc_comment(ind)
        if n <= 4 and r.random() < 0.6:
            lines.append("%senum %s { %s };" % (ind, name, ", ".join(items)))
        else:
            lines.append("%senum %s {" % (ind, name))
            for i, it in enumerate(items):
                lines.append(ind + "    " + it + ("," if i < n - 1 else ""))
            lines.append(ind + "};")
        enumerators = [it.split()[-1] if it.startswith("@") else it.split(" = ")[0]
                       for it in items]

        def commit():
            self.register({"kind": "enum", "path": cur, "name": name,
                           "enumerators": enumerators})
        return lines, commit

    def gen_bitmask(self, cur, ind):
        r = self.r
        name = self.type_name(BITMASK_SUFFIXES)
        prefix = upper_snake(name)
        n = r.randint(2, 8)
        words = r.sample(BIT_WORDS, n)
        pos_at = r.randint(1, n - 1) if r.random() < 0.35 else -1
        items = []
        pos = 0
        for i, w in enumerate(words):
            bn = self.decl_upper(prefix + "_" + w)
            if i == pos_at:
                p = min(pos + r.randint(1, 8), 32 - (n - i))
                if p > pos:
                    items.append("@position(%d) %s" % (p, bn))
                    pos = p + 1
                    continue
            items.append(bn)
            pos += 1
        lines = []
        if len(items) <= 4 and r.random() < 0.5:
            lines.append("%sbitmask %s { %s };" % (ind, name, ", ".join(items)))
        else:
            lines.append("%sbitmask %s {" % (ind, name))
            for i, it in enumerate(items):
                lines.append(ind + "    " + it + ("," if i < n - 1 else ""))
            lines.append(ind + "};")

        def commit():
            self.register({"kind": "bitmask", "path": cur, "name": name})
        return lines, commit

    def gen_bitset(self, cur, ind):
        r = self.r
        name = self.type_name(BITSET_SUFFIXES)
        n = r.randint(2, 6)
        used = set()
        total = 0
        fields = []
        for i in range(n):
            x = r.random()
            if x < 0.25:
                w, dest = 1, "boolean"
            elif x < 0.35:
                w, dest = r.randint(2, 8), "octet"
            elif x < 0.45:
                w, dest = r.randint(2, 16), "unsigned short"
            elif x < 0.5 and i > 0:
                w, dest = r.randint(1, 4), None   # anonymous padding
                if total + w > 64:
                    break
                total += w
                fields.append("bitfield<%d>;" % w)
                continue
            else:
                w, dest = r.randint(1, 12), None
            if total + w > 64:
                break
            total += w
            fname = self.member_name(used)
            if dest:
                fields.append("bitfield<%d, %s> %s;" % (w, dest, fname))
            else:
                fields.append("bitfield<%d> %s;" % (w, fname))
        lines = ["%sbitset %s {" % (ind, name)]
        lines += [ind + "    " + f for f in fields]
        lines.append(ind + "};")

        def commit():
            self.register({"kind": "bitset", "path": cur, "name": name})
        return lines, commit

    def gen_typedef(self, cur, ind):
        self.in_typedef = True
        try:
            return self._gen_typedef(cur, ind)
        finally:
            self.in_typedef = False

    def _gen_typedef(self, cur, ind):
        r = self.r
        kind = r.choices(["seq", "string", "array", "alias"], weights=[40, 20, 20, 20])[0]
        name = self.type_name(TYPEDEF_SUFFIXES[kind])
        if kind == "seq":
            text = "typedef %s %s;" % (self.seq_type(cur), name)
        elif kind == "string":
            text = "typedef %s %s;" % (self.string_type(cur), name)
            if "<" not in text:
                text = "typedef string<%s> %s;" % (self.bound(cur), name)
        elif kind == "array":
            t, _ = self.prim() if r.random() < 0.7 else self.member_type(cur)
            dims = "".join("[%s]" % self.bound(cur, small=True)
                           for _ in range(r.choice([1, 2, 2, 3])))
            text = "typedef %s %s%s;" % (t, name, dims)
        else:
            if r.random() < 0.6 or not self.common:
                t = r.choice(["unsigned long", "unsigned long long", "long",
                              "uint32", "uint64", "int64", "octet"])
            else:
                t, _ = self.member_type(cur)
            text = "typedef %s %s;" % (t, name)
        line = ind + text
        if r.random() < 0.12:
            line += "  " + r.choice(TRAILING_COMMENTS)

        def commit():
            self.register({"kind": "typedef", "path": cur, "name": name})
        return [line], commit

    def member_lines(self, cur, ind, used, is_key, ids):
        """The lines of one member (sometimes two declarators)."""
        r = self.r
        annos = []
        if is_key:
            t, cls = self.key_type(cur)
            annos.append("@key")
        else:
            t, cls = self.member_type(cur)
        dims = ""
        multi = False
        if not is_key and cls in ("int", "uint", "float", "bool", "char") and r.random() < 0.02:
            multi = True
        elif not is_key and r.random() < 0.08:
            dims = "".join("[%s]" % self.bound(cur, small=True)
                           for _ in range(r.choice([1, 1, 1, 2, 2, 3])))
        if not is_key and not dims and r.random() < 0.07:
            annos.append("@optional")
        if ids is not None and not multi and r.random() < 0.3:
            v = ids[0] + r.choice([1, 1, 2, 5, 10])
            annos.append("@id(%d)" % v)
            ids[0] = v + 1
        elif ids is not None:
            ids[0] += 1
        if cls in ("int", "uint", "float") and not is_key and r.random() < 0.06:
            annos.append(self.range_anno(t, cls))
        name = self.member_name(used)
        if multi:
            name2 = self.member_name(used)
            decl = "%s %s, %s;" % (t, name, name2)
            if ids is not None:
                ids[0] += 1
        else:
            if r.random() < 0.01:
                decl = "%s /* legacy */ %s%s;" % (t, name, dims)
            else:
                decl = "%s %s%s;" % (t, name, dims)
        lines = []
        if annos and r.random() < 0.1:
            lines.append(ind + " ".join(annos))
            lines.append(ind + decl)
        else:
            lines.append(ind + " ".join(annos + [decl]))
        if r.random() < 0.15:
            lines[-1] += "  " + r.choice(TRAILING_COMMENTS)
        return lines

    def gen_struct(self, cur, ind, name=None, register=True, simple=False):
        r = self.r
        if name is None:
            name = self.type_name(STRUCT_SUFFIXES)
        base = None
        if not simple and r.random() < 0.18:
            if self.cluster_structs and r.random() < 0.75:
                base = self.pick_from(self.cluster_structs, cur, 40, True)
            if base is None:
                base = self.pick_from(self.common_structs, cur, 100, True)
            if base is not None:
                self.uses(base)
        if base is not None:
            ext = base["ext"]
            used = set(base["members"])
        else:
            ext = r.choices([None, "final", "appendable", "mutable"],
                            weights=[40, 30, 18, 12])[0]
            used = set()
        nkeys = 0
        if base is None and not simple and r.random() < 0.4:
            nkeys = r.choices([1, 2, 3], weights=[70, 25, 5])[0]
        use_ids = (base is None and not simple
                   and r.random() < (0.35 if ext == "mutable" else 0.05))
        ids = [0] if use_ids else None
        nmem = r.choices([1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 24],
                         weights=[3, 8, 12, 14, 14, 12, 12, 9, 6, 4, 2])[0]
        nmem = max(nmem, nkeys + 1)
        lines = []
        if r.random() < 0.35:
            lines += self.doc_comment(ind)
        head = "struct %s" % name
        if base is not None:
            head += " : %s" % self.ref(base["path"], base["name"], cur)
        if ext:
            if r.random() < 0.15:
                lines.append("%s@%s" % (ind, ext))
                lines.append("%s%s {" % (ind, head))
            else:
                lines.append("%s@%s %s {" % (ind, ext, head))
        else:
            lines.append("%s%s {" % (ind, head))
        mind = ind + "    "
        ifdef_at = r.randint(0, nmem - 1) if (not simple and r.random() < 0.08) else -1
        for i in range(nmem):
            if i == ifdef_at and i >= nkeys:
                if r.random() < 0.3:
                    feat = r.choice(DEFINED_FEATURES)
                else:
                    feat = r.choice(UNDEFINED_FEATURES)
                lines.append("#ifdef %s" % feat)
                lines += self.member_lines(cur, mind, used, False, None)
                if r.random() < 0.7:
                    lines.append("#else")
                    lines += self.member_lines(cur, mind, used, False, None)
                lines.append("#endif")
                if ids is not None:
                    ids[0] += 1
                continue
            lines += self.member_lines(cur, mind, used, i < nkeys, ids)
        lines.append(ind + "};")
        members = set(used)

        def commit():
            if not register:
                return
            t = {"kind": "struct", "path": cur, "name": name, "ext": ext,
                 "members": members,
                 "inheritable": not use_ids and ifdef_at < 0}
            self.register(t)
        return lines, commit

    def gen_union(self, cur, ind):
        r = self.r
        name = self.type_name(UNION_SUFFIXES)
        enum = None
        if self.enums and r.random() < 0.45:
            enum = self.pick_enum(cur)
        ncases = r.choices([2, 3, 4, 5, 6], weights=[25, 30, 22, 13, 10])[0]
        labels = []   # list of lists
        if enum is not None:
            pool = list(enum["enumerators"])
            r.shuffle(pool)
            ncases = min(ncases, len(pool))
            per = []
            remaining = pool
            for i in range(ncases):
                k = 2 if (len(remaining) - (ncases - i - 1) >= 2 and r.random() < 0.2) else 1
                per.append(remaining[:k])
                remaining = remaining[k:]
            labels = [[self.ref(enum["path"], e, cur) for e in grp] for grp in per]
            covered_all = not remaining
            disc = self.ref(enum["path"], enum["name"], cur)
        else:
            disc = r.choices(["long", "short", "unsigned long", "int32", "uint16"],
                             weights=[50, 15, 15, 10, 10])[0]
            start = r.choice([0, 1, 1, 10, 100])
            v = start
            for i in range(ncases):
                k = 2 if r.random() < 0.2 else 1
                grp = []
                for _ in range(k):
                    grp.append(("0x%X" % v) if (v >= 16 and r.random() < 0.2) else str(v))
                    v += r.choice([1, 1, 1, 2, 5])
                labels.append(grp)
            covered_all = False
        has_default = (not covered_all) and r.random() < 0.4
        ext = r.choices([None, "final", "appendable"], weights=[60, 25, 15])[0]
        lines = []
        if r.random() < 0.25:
            lines += self.doc_comment(ind)
        head = "union %s switch (%s) {" % (name, disc)
        lines.append(ind + ("@%s " % ext if ext else "") + head)
        used = set()
        cind = ind + "    "
        branches = [(grp, False) for grp in labels]
        if has_default:
            branches.append(([], True))
        for grp, is_def in branches:
            labs = ["case %s:" % l for l in grp] if not is_def else ["default:"]
            t, cls = self.member_type(cur)
            dims = ""
            if r.random() < 0.05:
                dims = "[%s]" % self.bound(cur, small=True)
            bname = self.member_name(used)
            decl = "%s %s%s;" % (t, bname, dims)
            if len(labs) > 1 and r.random() < 0.5:
                for l in labs:
                    lines.append(cind + l)
                lines.append(cind + "    " + decl)
            else:
                lines.append(cind + " ".join(labs) + " " + decl)
            if r.random() < 0.1:
                lines[-1] += "  " + r.choice(TRAILING_COMMENTS)
        lines.append(ind + "};")

        def commit():
            self.register({"kind": "union", "path": cur, "name": name})
        return lines, commit

    def gen_ifdef_block(self, cur, ind):
        """A module-level #ifdef/#else/#endif giving one type two definitions."""
        r = self.r
        feat = r.choice(UNDEFINED_FEATURES) if r.random() < 0.75 else r.choice(DEFINED_FEATURES)
        lines = []
        if r.random() < 0.5:
            name = self.type_name(TYPEDEF_SUFFIXES["alias"])
            a, b = r.choice([("unsigned long", "unsigned long long"),
                             ("long", "long long"), ("uint16", "uint32"),
                             ("string<32>", "string<64>"), ("float", "double")])
            lines.append("#ifdef %s" % feat)
            lines.append("%stypedef %s %s;" % (ind, a, name))
            lines.append("#else")
            lines.append("%stypedef %s %s;" % (ind, b, name))
            lines.append("#endif")
            kind, extra = "typedef", {}
        else:
            name = self.type_name(STRUCT_SUFFIXES)
            l1, _ = self.gen_struct(cur, ind, name=name, register=False, simple=True)
            l2, _ = self.gen_struct(cur, ind, name=name, register=False, simple=True)
            lines.append("#ifdef %s" % feat)
            lines += l1
            lines.append("#else")
            lines += l2
            lines.append("#endif")
            kind = "struct"

        def commit():
            if kind == "typedef":
                self.register({"kind": "typedef", "path": cur, "name": name})
            else:
                # Not a base: its members differ between the two branches.
                self.register({"kind": "struct", "path": cur, "name": name})
        return lines, commit

    # ----- modules -------------------------------------------------------------
    def try_emit(self, lines, commit, force=False):
        text = "\n".join(lines) + "\n"
        if not force and not self.fits(len(text)):
            return False
        self.emit(text)
        if commit:
            commit()
        return True

    def fill_tail(self, cur, ind):
        """The budget is nearly used: add small declarations while they fit."""
        for _ in range(12):
            kind = "const" if self.r.random() < 0.6 else "typedef"
            lines, commit = self.gen_decl(cur, ind, kind)
            self.try_emit(lines, commit)
        self.done = True

    def gen_decl(self, cur, ind, kind):
        self.cur_level = 0
        return {
            "const": self.gen_const, "enum": self.gen_enum,
            "bitmask": self.gen_bitmask, "bitset": self.gen_bitset,
            "typedef": self.gen_typedef, "struct": self.gen_struct,
            "union": self.gen_union, "ifdef": self.gen_ifdef_block,
        }[kind](cur, ind)

    def module_plan(self, depth, can_nest):
        r = self.r
        plan = []
        plan += ["const"] * r.choices([0, 1, 2, 3, 4], weights=[25, 25, 25, 15, 10])[0]
        plan += ["enum"] * r.choices([0, 1, 2, 3], weights=[30, 35, 25, 10])[0]
        if r.random() < 0.3:
            plan.append("bitmask")
        plan += ["typedef"] * r.choices([0, 1, 2, 3, 4], weights=[25, 30, 25, 12, 8])[0]
        body = ["struct"] * r.randint(2, 9)
        body += ["union"] * r.choices([0, 1, 2], weights=[45, 40, 15])[0]
        if r.random() < 0.15:
            body.append("bitset")
        if r.random() < 0.15:
            body.append("ifdef")
        r.shuffle(body)
        plan += body
        if can_nest:
            nsub = r.choices([0, 1, 2, 3, 4], weights=[15, 25, 30, 20, 10])[0]
            for _ in range(nsub):
                plan.insert(r.randint(len(plan) // 2, len(plan)), "module")
        return plan

    def gen_module(self, cur, depth, name):
        r = self.r
        ind = "    " * (depth - 1)
        path = cur + [name]
        head = []
        if depth == 1:
            head.append("")
            if r.random() < 0.5:
                head.append("// " + "=" * 70)
                head.append("// %s" % name)
                head.append("// " + "=" * 70)
            else:
                head.append("/*")
                head.append(" * Module %s: %s types." % (name, r.choice(DOC_NOUNS)))
                head.append(" */")
        elif r.random() < 0.3:
            head.append("")
            head.append("%s// %s" % (ind, name))
        head.append("%smodule %s {" % (ind, name))
        closer = "%s};%s\n" % (ind, ("  // module %s" % name) if r.random() < 0.4 else "")
        text = "\n".join(head) + "\n"
        # Room for the header, one small declaration and the closer.
        if not self.fits(len(text) + len(closer) + 80):
            return False
        self.emit(text)
        self.open_closers.append(closer)
        if depth == 1:
            self.cluster += 1
            self.cluster_types = []
            self.cluster_structs = []
            self.cluster_enums = []
        inner = ind + "    "
        plan = self.module_plan(depth, depth < 3)
        count = 0
        for kind in plan:
            if self.done:
                break
            if kind == "module":
                if depth == 1:
                    sub = r.choice(NESTED_MODULES)
                else:
                    sub = r.choice(DEEP_MODULES)
                if self.gen_module(path, depth + 1, sub):
                    count += 1
                continue
            lines, commit = self.gen_decl(path, inner, kind)
            if r.random() < 0.6:
                lines = [""] + lines
            if self.try_emit(lines, commit):
                count += 1
            else:
                self.fill_tail(path, inner)
        if count == 0:
            # A module needs one declaration; some compilers reject an empty one.
            lines, commit = self.gen_const(path, inner)
            self.try_emit(lines, commit, force=True)
        self.open_closers.pop()
        self.emit(closer)
        return True

    def header(self):
        lines = [
            "/*",
            " * Synthetic data model for IDL converter benchmarks.",
            " *",
            " * Generated by gen_models.py: seed %d, about %d bytes." % (self.seed, self.target),
            " * Modules, structures, unions, enumerations, bitmasks, bitsets,",
            " * typedefs and constants with the annotations of DDS-XTypes.",
            " */",
            "",
            "#ifndef %s" % self.guard(),
            "#define %s" % self.guard(),
            "",
        ]
        for fname, _ in INCLUDES:
            lines.append('#include "%s"' % fname)
        lines += ["", "// Bounds shared by the whole model"]
        lines += bounds_lines()
        return "\n".join(lines) + "\n"

    def run(self):
        self.emit(self.header())
        self.gen_top_modules(lambda: TOP_MODULES[self.top_index % len(TOP_MODULES)])
        self.emit(self.footer())
        return "".join(self.chunks)

    def gen_top_modules(self, next_name):
        while not self.done:
            name = next_name()
            self.top_index += 1
            if not self.gen_module([], 1, name):
                if self.top_index == 1:
                    # Tiny target: still write one module.
                    self.emit("\nmodule %s {\n    const long %s = 1;\n};\n"
                              % (name, self.decl_upper("MODEL_VERSION")))
                break

    # ----- many files ------------------------------------------------------------
    def run_file(self, target, guard, head, module, visible, direct):
        """One file of a many-file model: head is its text up to the first module,
        module its top-level module (reopened by other files), visible the
        (types, constants) of every file it includes, directly or not, and
        direct the types of the files it includes directly, one of which it
        uses. Returns the text and what the file declares."""
        types, consts = visible
        self.target = target
        self.guard_name = guard
        self.chunks = []
        self.size = 0
        self.open_closers = []
        self.done = False
        self.top_index = 0
        self.cluster_types = []
        self.cluster_structs = []
        self.cluster_enums = []
        self.common = [t for t in types if t["level"] <= 1]
        self.common_structs = [t for t in self.common
                               if t["kind"] == "struct" and t.get("inheritable")]
        self.enums = [t for t in types if t["kind"] == "enum"]
        self.int_consts = list(consts)
        self.exports = []
        self.exported_consts = []
        self.imports_due = list(direct)
        self.emit(head)
        self.gen_top_modules(lambda: module)
        self.imports_due = []
        self.emit(self.footer())
        return "".join(self.chunks), self.exports, self.exported_consts


def bounds_lines():
    """Macros used as bounds and the feature switches of the model."""
    lines = ["#define %s %d" % (name, value) for name, value in MACROS]
    lines.append("#define DIM(x) (x * 2)")
    lines.append("")
    lines.append("// Optional parts compiled into this build")
    lines += ["#define %s" % f for f in DEFINED_FEATURES]
    return lines


FILE_SUFFIXES = ["types", "status", "control", "config", "events", "data",
                 "commands", "reports", "limits", "records"]


def snake(camel):
    return upper_snake(camel).lower()


def write_model_set(directory, count, mean_size, seed):
    """Writes count files below directory; returns their paths, relative to it."""
    gen = Gen(mean_size, seed)
    r = gen.r
    gen.module_lower.add("common")
    ncommon = max(1, count // 20)
    nfolders = max(1, min(len(TOP_MODULES), (count - ncommon + 39) // 40))
    names_used = set()
    files = []   # dicts: path, module, exports, consts, closure (set of indices)
    for i in range(count):
        if i < ncommon:
            folder, module = "common", "Common"
        else:
            k = (i - ncommon) * nfolders // max(1, count - ncommon)
            folder, module = snake(TOP_MODULES[k]), TOP_MODULES[k]
        stem = "%s_%s" % (snake(r.choice(TYPE_NOUNS)), r.choice(FILE_SUFFIXES))
        n = 2
        base = stem
        while "%s/%s" % (folder, stem) in names_used:
            stem = "%s%d" % (base, n)
            n += 1
        names_used.add("%s/%s" % (folder, stem))
        path = "%s/%s.idl" % (folder, stem)
        # Earlier files only, so the include graph has no cycle: common files,
        # recent files of the same folder and now and then one of another folder.
        includes = []
        if i > 0:
            want = r.choices([1, 2, 3, 4], weights=[35, 35, 20, 10])[0]
            for _ in range(want):
                x = r.random()
                same = [j for j in range(max(0, i - 8), i) if files[j]["folder"] == folder]
                if x < 0.4 or not same:
                    j = r.randrange(0, min(i, ncommon))
                elif x < 0.85:
                    j = r.choice(same)
                else:
                    j = r.randrange(0, i)
                if j not in includes:
                    includes.append(j)
        closure = set()
        for j in includes:
            closure.add(j)
            closure |= files[j]["closure"]
        types = [t for j in sorted(closure) for t in files[j]["exports"]]
        consts = [c for j in sorted(closure) for c in files[j]["consts"]]
        direct = [t for j in includes for t in files[j]["exports"]]
        guard = "MODEL_%s_%s_IDL" % (folder.upper(), stem.upper())
        head = [
            "/*",
            " * %s: part of a synthetic data model for IDL converter benchmarks." % path,
            " * Generated by gen_models.py: seed %d, file %d of %d." % (seed, i + 1, count),
            " */",
            "",
            "#ifndef %s" % guard,
            "#define %s" % guard,
            "",
        ]
        for j in includes:
            rel = os.path.relpath(files[j]["path"], folder).replace(os.sep, "/")
            head.append('#include "%s"' % rel)
        if includes:
            head.append("")
        head += ["// Bounds shared by the whole model (any file may come first)",
                 "#ifndef MODEL_BOUNDS", "#define MODEL_BOUNDS"]
        head += bounds_lines()
        head.append("#endif")
        target = int(mean_size * r.uniform(0.5, 1.5))
        text, exports, exported_consts = gen.run_file(
            target, guard, "\n".join(head) + "\n", module, (types, consts), direct)
        full = os.path.join(directory, folder, stem + ".idl")
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
        files.append({"path": path, "folder": folder, "exports": exports,
                      "consts": exported_consts, "closure": closure})
    return [f["path"] for f in files]


def write_includes(directory):
    os.makedirs(directory, exist_ok=True)
    for fname, mod in INCLUDES:
        guard = fname.upper().replace(".", "_")
        text = ("// Stand-in for an included file (written by gen_models.py).\n"
                "#ifndef %s\n#define %s\n\nmodule %s {\n    const long %s_STUB = 1;\n};\n\n#endif\n"
                % (guard, guard, mod, upper_snake(mod)))
        with open(os.path.join(directory, fname), "w", encoding="ascii", newline="\n") as f:
            f.write(text)


def main(argv=None):
    ap = argparse.ArgumentParser(
        description="Generate deterministic IDL models: one file of about --size bytes, "
                    "or --files N files with includes between them.")
    ap.add_argument("--size", type=parse_size,
                    help="target size in bytes, of the file or (with --files) of one file "
                         "on average (suffix K=1000, M=10^6, Ki=1024, Mi=2^20)")
    ap.add_argument("--files", type=int, metavar="N",
                    help="write N files with includes between them into the folder --out")
    ap.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    ap.add_argument("--out", metavar="PATH",
                    help="the file (or with --files the folder) to write; "
                         "without --files, '-' or no --out writes to standard output")
    ap.add_argument("--write-includes", metavar="DIR",
                    help="one file: also write the files named by its #include lines into DIR")
    args = ap.parse_args(argv)
    if args.files is not None:
        if args.files < 1 or not args.out or args.out == "-":
            ap.error("--files needs N >= 1 and --out DIR")
        write_model_set(args.out, args.files, args.size or 3000, args.seed)
        return 0
    if args.size is None:
        ap.error("--size is required without --files")
    text = Gen(args.size, args.seed).run()
    if args.write_includes:
        write_includes(args.write_includes)
    if args.out and args.out != "-":
        with open(args.out, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    else:
        out = sys.stdout.buffer
        out.write(text.encode("ascii"))
        out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
