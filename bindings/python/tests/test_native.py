# SPDX-License-Identifier: GPL-2.0-or-later
"""The raw layer: records, constants and prototypes against the C header and
the built library. Nothing here starts the engine."""

import ctypes
import ctypes.util
import os
import re
import subprocess

import wsbridge
from wsbridge import native
from conftest import environment, run_python


def header_text():
    with open(environment("WSB_HEADER"), encoding="utf-8") as header:
        return header.read()


def header_declarations():
    """name -> parameter list text of every WSBRIDGE_API function."""
    text = re.sub(r"/\*.*?\*/", " ", header_text(), flags=re.S)
    declarations = {}
    for match in re.finditer(r"WSBRIDGE_API\s+[^;(]*?\b(g[A-Z]\w*)\s*\(([^)]*)\)\s*;", text):
        declarations[match.group(1)] = " ".join(match.group(2).split())
    return declarations


def test_every_export_of_the_header_has_a_prototype():
    declarations = header_declarations()
    assert len(declarations) >= 30
    assert set(native.PROTOTYPES) == set(declarations)


def test_prototypes_take_as_many_arguments_as_the_header_says():
    for name, parameters in header_declarations().items():
        count = 0 if parameters in ("void", "") else parameters.count(",") + 1
        assert len(native.PROTOTYPES[name][1]) == count, name


def test_prototypes_follow_the_header_types():
    c_types = {
        "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64,
        "const char *": ctypes.c_char_p, "const void *": ctypes.c_void_p,
        "PacketSummary *": ctypes.POINTER(native.PacketSummary),
        "TreeNode *": ctypes.POINTER(native.TreeNode),
        "const SavePacketRequest *": ctypes.POINTER(native.SavePacketRequest),
        "WsbPacketSummary *": ctypes.POINTER(native.PacketSummary),
        "WsbTreeNode *": ctypes.POINTER(native.TreeNode),
        "const WsbSavePacketRequest *": ctypes.POINTER(native.SavePacketRequest),
        "WsbPacketBatch *": ctypes.POINTER(native.WsbPacketBatch),
        "WsbBatchValue *": ctypes.POINTER(native.WsbBatchValue),
        "const uint32_t *": ctypes.POINTER(ctypes.c_uint32),
        "int32_t *": ctypes.POINTER(ctypes.c_int32), "uint32_t *": ctypes.POINTER(ctypes.c_uint32),
        "uint8_t *": ctypes.POINTER(ctypes.c_uint8), "uint64_t *": ctypes.POINTER(ctypes.c_uint64),
        "int64_t *": ctypes.POINTER(ctypes.c_int64),
        "const char **": ctypes.POINTER(ctypes.c_void_p),
        "const uint8_t **": ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8)),
        "const int32_t **": ctypes.POINTER(ctypes.POINTER(ctypes.c_int32)),
        "const WsbLiveOptions *": ctypes.POINTER(native.WsbLiveOptions),
        "const WsbInterface **": ctypes.POINTER(ctypes.POINTER(native.WsbInterface)),
    }
    for record in ("WsbConversation", "WsbEndpoint", "WsbHierarchyRow", "WsbIntervalRow"):
        structure = ctypes.POINTER(getattr(native, record))
        c_types["const " + record + " *"] = structure
        c_types["const " + record + " **"] = ctypes.POINTER(structure)
    for name, parameters in header_declarations().items():
        if parameters in ("void", ""):
            continue
        for position, parameter in enumerate(parameters.split(",")):
            match = re.match(r"\s*(.*?)\s*(\**)\s*\w+\s*$", parameter)
            type_text = match.group(1) + (" " + match.group(2) if match.group(2) else "")
            assert native.PROTOTYPES[name][1][position] == c_types[type_text], (name, parameter)


def test_the_library_exports_exactly_the_header_functions():
    library = environment("WSBRIDGE_LIBRARY")
    listing = subprocess.run(["nm", "-D", "--defined-only", library], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
    exported = {line.split()[2] for line in listing.splitlines()
                if len(line.split()) == 3 and line.split()[1] == "T"}
    assert set(native.PROTOTYPES) == exported


def test_constants_match_the_header():
    text = header_text()
    constants = {name: int(value) for name, value in
                 re.findall(r"\b(WSB_(?:FT|AT|PT)_\w+)\s*=\s*(\d+)", text)}
    assert constants
    enums = {"FT": wsbridge.FieldType, "AT": wsbridge.AddressType, "PT": wsbridge.PortType}
    for name, value in constants.items():
        _, kind, member = name.split("_", 2)
        assert enums[kind][member] == value, name
    for kind, enum in enums.items():
        assert {"WSB_%s_%s" % (kind, member.name) for member in enum} <= set(constants)


def test_status_render_and_direction_names_match_the_header():
    named = {name: int(value) for name, value in
             re.findall(r"\b(WSB_(?:OK|FAILED|END|OUT_OF_MEMORY|TIMED_OUT|RENDER_\w+|DIRECTION_\w+))\s*=\s*(\d+)",
                        header_text())}
    ours = {"WSB_%s" % member.name: member.value for member in native.Status}
    ours.update({"WSB_RENDER_%s" % member.name: member.value for member in native.RenderFormat})
    ours.update({"WSB_DIRECTION_%s" % member.name: member.value for member in native.Direction})
    assert ours == named


def test_record_layouts_match_what_a_c_compiler_makes_of_the_header(tmp_path):
    # The layouts are checked at import against the library's values; this
    # compiles the header and asks the compiler for them too.
    lines = ['#include <stddef.h>', '#include <stdio.h>', '#include "wsbridge.h"', "int main(void) {"]
    for record, (size, fields) in native.RECORD_LAYOUTS.items():
        name = record.__name__
        lines.append('printf("%s %%zu\\n", sizeof(%s));' % (name, name))
        for field in fields:
            lines.append('printf("%s.%s %%zu %%zu\\n", offsetof(%s, %s), sizeof(((%s *)0)->%s));'
                         % (name, field, name, field, name, field))
    lines += ["return 0;", "}"]
    source = tmp_path / "layout.c"
    source.write_text("\n".join(lines))
    program = tmp_path / "layout"
    subprocess.run(["cc", "-I", os.path.dirname(environment("WSB_HEADER")), "-o", str(program),
                    str(source)], check=True)
    output = subprocess.run([str(program)], stdout=subprocess.PIPE, universal_newlines=True,
                            check=True).stdout.split("\n")
    expected = []
    for record, (size, fields) in native.RECORD_LAYOUTS.items():
        expected.append("%s %d" % (record.__name__, ctypes.sizeof(record)))
        for field in fields:
            descriptor = getattr(record, field)
            expected.append("%s.%s %d %d" % (record.__name__, field, descriptor.offset,
                                             descriptor.size))
        assert ctypes.sizeof(record) == size
    assert output[:-1] == expected


def test_record_layouts_match_what_the_library_reports():
    raw = wsbridge.load_library(environment("WSBRIDGE_LIBRARY")).raw
    offset, size = ctypes.c_int32(), ctypes.c_int32()
    names = {native.PacketSummary: b"PacketSummary", native.TreeNode: b"TreeNode",
             native.SavePacketRequest: b"SavePacketRequest"}
    for record, (record_size, fields) in native.RECORD_LAYOUTS.items():
        name = names.get(record, record.__name__.encode())
        assert raw.gGetRecordLayout(name, None, ctypes.byref(offset), ctypes.byref(size)) == 0, name
        assert size.value == record_size == ctypes.sizeof(record), name
        for field, layout in fields.items():
            assert raw.gGetRecordLayout(name, field.encode(), ctypes.byref(offset),
                                        ctypes.byref(size)) == 0, (name, field)
            assert (offset.value, size.value) == layout, (name, field)


def test_a_record_that_does_not_match_stops_the_import():
    completed = run_python("""
        import ctypes, sys
        sys.modules.pop("wsbridge", None)
        real = ctypes.sizeof
        def lying(thing):
            size = real(thing)
            return size + 8 if getattr(thing, "__name__", "") == "TreeNode" else size
        ctypes.sizeof = lying
        try:
            import wsbridge
        except ImportError as error:
            print("refused:", error)
        """)
    assert "refused:" in completed.stdout
    assert "TreeNode is 776 bytes, the library's is 768" in completed.stdout


def test_the_library_is_found_by_argument_and_by_environment():
    path = environment("WSBRIDGE_LIBRARY")
    by_argument = run_python("""
        import sys, wsbridge
        print(wsbridge.load_library(sys.argv[1]).path)
        """, path, env={"WSBRIDGE_LIBRARY": None})
    assert by_argument.stdout.strip() == path
    by_environment = run_python("""
        import wsbridge
        library = wsbridge.load_library()
        print(library.path)
        print(library is wsbridge.load_library())
        """)
    assert by_environment.stdout.split() == [path, "True"]


def test_a_missing_library_is_an_os_error_naming_where_it_looked(tmp_path):
    missing = str(tmp_path / "libwsbridge.so.0")
    completed = run_python("""
        import wsbridge
        try:
            wsbridge.start()
        except OSError as error:
            print("OSError", error)
        """, env={"WSBRIDGE_LIBRARY": missing})
    assert completed.stdout.startswith("OSError wsbridge: could not load the library")
    assert missing in completed.stdout
    # It says how to point at the library, or to install it.
    assert "WSBRIDGE_LIBRARY" in completed.stdout and "cmake --install" in completed.stdout


def test_a_library_without_the_interface_is_refused():
    libc = ctypes.util.find_library("c")
    completed = run_python("""
        import sys, wsbridge
        try:
            wsbridge.load_library(sys.argv[1])
        except OSError as error:
            print(error)
        """, libc)
    assert "is not a wsbridge library of this interface: it lacks gGetLastError" in completed.stdout


def test_a_library_older_than_the_package_is_refused_at_load(tmp_path):
    # A library of an older release: its version, and none of the later calls.
    source = tmp_path / "old.c"
    source.write_text('const char *gGetLastError(void) { return ""; }\n'
                      'int gGetLastErrorCode(void) { return 0; }\n'
                      'int gGetVersion(const char **library, const char **engine)\n'
                      '{ *library = "0.0.9"; *engine = "4.0.0"; return 0; }\n')
    library = tmp_path / "libwsbridge.so.0"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    completed = run_python("""
        import wsbridge
        try:
            wsbridge.start()
        except OSError as error:
            print(error)
        """, env={"WSBRIDGE_LIBRARY": str(library)})
    assert "is libwsbridge 0.0.9, older than the %s this package needs" % wsbridge.__version__ \
        in completed.stdout
    assert "gSaveFrames" in completed.stdout and "install the library" in completed.stdout


def test_the_package_has_no_import_cycle():
    # Every import of a module of the package by another, also inside a
    # function (an import made late hides a cycle, it does not break it).
    import ast
    folder = os.path.dirname(wsbridge.__file__)
    names = {name[:-3] for name in os.listdir(folder) if name.endswith(".py")}
    imports = {}
    for name in names:
        with open(os.path.join(folder, name + ".py"), encoding="utf-8") as source:
            tree = ast.parse(source.read())
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                found |= {node.module} if node.module else {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("wsbridge"):
                found |= {node.module.partition(".")[2] or "__init__"}
            elif isinstance(node, ast.Import):
                found |= {alias.name.partition(".")[2] or "__init__" for alias in node.names
                          if alias.name.split(".")[0] == "wsbridge"}
        imports[name] = found & names
    assert imports["capture"] and imports["parallel"]

    def cycle_from(name, path):
        if name in path:
            return path[path.index(name):] + [name]
        for imported in sorted(imports[name]):
            found = cycle_from(imported, path + [name])
            if found:
                return found
        return None

    for name in sorted(names):
        assert cycle_from(name, []) is None, " -> ".join(cycle_from(name, []))


def test_raw_calls_before_start_report_the_guard_message():
    completed = run_python("""
        import wsbridge
        library = wsbridge.load_library()
        print(library.raw.gOpenCapture(b"x.pcap"))
        print(library.last_error())
        """)
    assert completed.stdout.splitlines() == [
        "1", "\"Open Capture\" operation failed. Wireshark engine is not initialized yet."]

