"""Parses an SVG map with a strict XML parser and prints every text element, one a line."""
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
if root.tag != "{http://www.w3.org/2000/svg}svg":
    sys.exit("root element is " + root.tag)
for t in root.iter("{http://www.w3.org/2000/svg}text"):
    print("".join(t.itertext()))
