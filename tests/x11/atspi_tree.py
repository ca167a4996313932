# Prints the accessibility tree of one process as a screen reader sees it over AT-SPI:
# one line per object, "<depth>\t<role>\t<name>\t<value>\t<description>" (value empty
# where the object has none), line breaks inside a text written as "\n". Ends with 3 when
# the process has no application on the bus.
import sys

import pyatspi


def text(value):
    return (value or "").replace("\\", "\\\\").replace("\n", "\\n").replace("\t", " ")


def walk(node, depth):
    try:
        role, name, description = node.getRoleName(), node.name, node.description
    except Exception:
        return
    try:
        value = "%g" % node.queryValue().currentValue
    except Exception:
        value = ""
    print("%d\t%s\t%s\t%s\t%s" % (depth, role, text(name), value, text(description)))
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1)


pid = int(sys.argv[1])
for app in pyatspi.Registry.getDesktop(0):
    if app is not None and app.get_process_id() == pid:
        walk(app, 0)
        sys.exit(0)
sys.exit(3)
