#!/usr/bin/env python3
"""Checks of what reaches the user: the Read Me page, the version each artefact states, and the
Windows package.

  release_checks.py readme  PAGE --version V
  release_checks.py version --version V --sources ROOT [--plist P] [--readme PAGE] [--package-dir D]
  release_checks.py package ZIP --version V --readme PAGE --unpack-into FOLDER

Each prints what it found wrong, one line a fault, and exits 1 if anything was.
"""
import argparse
import html.parser
import os
import plistlib
import re
import shutil
import struct
import sys
import zipfile

READ_ME = "NDI Vidrane - Read Me.html"
DLL = "NDI Vidrane.dll"

# Elements that never take an end tag, and the ones a paragraph cannot hold (a browser would end
# the paragraph before them, leaving the page's own </p> without a partner).
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}
BLOCK = {"address", "article", "aside", "blockquote", "div", "dl", "fieldset", "figure", "footer", "form",
         "h1", "h2", "h3", "h4", "h5", "h6", "header", "hr", "main", "nav", "ol", "p", "pre", "section",
         "table", "ul"}
# What would make the page reach outside itself.
EMBEDDING = {"iframe", "object", "embed", "frame", "base"}
URL_ATTRIBUTES = {"src", "href", "srcset", "poster", "action", "data", "formaction", "background"}
CSS_REFERENCE = re.compile(r"url\s*\(\s*(['\"]?)(?!data:)|@import", re.IGNORECASE)
PLACEHOLDER = re.compile(r"@[A-Za-z_][A-Za-z0-9_]*@")
DOTTED_VERSION = re.compile(r"(?<![\d.])\d+\.\d+\.\d+\.\d+(?![\d.])")


class Page(html.parser.HTMLParser):
	"""The page's structure as html.parser reads it, with the faults found on the way."""

	def __init__(self):
		super().__init__(convert_charrefs=True)
		self.faults = []
		self.stack = []
		self.doctype = None
		self.ids = {}
		self.links = []
		self.text = []
		self.version_texts = []
		self.titles = []
		self.h1 = 0
		self.charset = None
		self.lang = None
		self._capture = []  # (depth of an open element, list whose last entry collects its text)

	def fault(self, message):
		line, column = self.getpos()
		self.faults.append(f"line {line}, column {column + 1}: {message}")

	def handle_decl(self, decl):
		self.doctype = decl

	def handle_starttag(self, tag, attrs):
		sinks = self.open_element(tag, attrs)
		if tag not in VOID:
			self.stack.append(tag)
			self.collect(sinks)

	def handle_startendtag(self, tag, attrs):
		sinks = self.open_element(tag, attrs)
		if tag not in VOID:
			self.fault(f"<{tag}/> is not a void element; HTML ignores the slash and leaves it open")
			self.stack.append(tag)
			self.collect(sinks)

	def collect(self, sinks):
		# The text of the element just opened goes to each sink until the element closes.
		for sink in sinks:
			sink.append("")
			self._capture.append((len(self.stack) - 1, sink))

	def open_element(self, tag, attrs):
		if tag in BLOCK and "p" in self.stack:
			self.fault(f"<{tag}> inside <p>")
		if tag in EMBEDDING:
			self.fault(f"<{tag}> embeds or redirects to other content")
		values = dict(attrs)
		if "id" in values:
			ident = values["id"] or ""
			if not ident:
				self.fault("empty id")
			elif ident in self.ids:
				self.fault(f"id '{ident}' used twice (first at line {self.ids[ident]})")
			else:
				self.ids[ident] = self.getpos()[0]
		for name, value in attrs:
			value = value or ""
			if name in URL_ATTRIBUTES:
				if tag == "a" and name == "href":
					self.links.append((self.getpos()[0], value))
				elif not value.startswith("data:"):
					self.fault(f"<{tag} {name}=\"{value}\"> loads something from outside the page")
			if name == "style" and CSS_REFERENCE.search(value):
				self.fault(f"<{tag}> style refers to something outside the page")
			if name.startswith("on"):
				self.fault(f"<{tag}> carries a script handler ({name})")
		if tag == "script":
			self.fault("<script>: the page must read the same without scripts")
		if tag == "html":
			self.lang = values.get("lang")
		if tag == "meta" and "charset" in values:
			self.charset = (values["charset"] or "").lower()
		if tag == "h1":
			self.h1 += 1
		sinks = []
		if tag == "title":
			sinks.append(self.titles)
		if values.get("id") == "version":
			sinks.append(self.version_texts)
		return sinks

	def handle_endtag(self, tag):
		if tag in VOID:
			self.fault(f"</{tag}>: a void element has no end tag")
			return
		if not self.stack:
			self.fault(f"</{tag}> with nothing open")
			return
		if self.stack[-1] != tag:
			self.fault(f"</{tag}> closes <{self.stack[-1]}>")
			if tag in self.stack:  # recover: close up to the matching element
				while self.stack and self.stack[-1] != tag:
					self.stack.pop()
			else:
				return
		self.stack.pop()
		self._capture = [c for c in self._capture if c[0] < len(self.stack)]

	def handle_data(self, data):
		self.text.append(data)
		if "style" in self.stack and CSS_REFERENCE.search(data):
			self.fault("the style sheet refers to something outside the page")
		for _, sink in self._capture:
			sink[-1] += data

	def finish(self):
		self.close()
		for tag in reversed(self.stack):
			self.fault(f"<{tag}> is never closed")


def read_page(path):
	with open(path, "rb") as f:
		raw = f.read()
	page = Page()
	try:
		page.feed(raw.decode("utf-8"))
	except UnicodeDecodeError as e:
		page.faults.append(f"not UTF-8: {e}")
		return page
	page.finish()
	return page


def check_readme(path, version):
	page = read_page(path)
	faults = list(page.faults)
	if not page.doctype or page.doctype.strip().lower() != "doctype html":
		faults.append(f"the page does not start with <!DOCTYPE html> (found {page.doctype!r})")
	if page.charset != "utf-8":
		faults.append(f"declared character set {page.charset!r}, not utf-8")
	if not page.lang:
		faults.append("<html> names no language")
	if len(page.titles) != 1 or not page.titles[0].strip():
		faults.append(f"{len(page.titles)} titles; the page needs exactly one, not empty")
	if page.h1 != 1:
		faults.append(f"{page.h1} <h1> headings; the page needs exactly one")
	for line, href in page.links:
		if not href.startswith("#"):
			faults.append(f"line {line}: link to '{href}' leaves the page (it must read the same offline)")
		elif href == "#" or href[1:] not in page.ids:
			faults.append(f"line {line}: link '{href}' leads nowhere on the page")
	faults += version_faults(page, version, "the Read Me")
	return faults


def version_faults(page, version, what):
	faults = []
	text = "".join(page.text)
	if len(page.version_texts) != 1:
		faults.append(f"{what} has {len(page.version_texts)} elements with id 'version', not one")
	elif page.version_texts[0].strip() != version:
		faults.append(f"{what} states version '{page.version_texts[0].strip()}', the project's is {version}")
	for left in sorted(set(PLACEHOLDER.findall(text))):
		faults.append(f"{what} still holds the placeholder {left}")
	for other in sorted(set(DOTTED_VERSION.findall(text)) - {version}):
		faults.append(f"{what} mentions version {other}, the project's is {version}")
	return faults


def package_name(version):
	return f"NDI-Vidrane-{version}-Windows-x64.zip"


def check_version(version, sources, plist=None, readme=None, package_dir=None):
	faults = []
	if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", version):
		faults.append(f"the project version '{version}' is not four numbers (the DLL's file version needs four)")
	if plist:
		with open(plist, "rb") as f:
			info = plistlib.load(f)
		if info.get("CFBundleVersion") != version:
			faults.append(f"CFBundleVersion is {info.get('CFBundleVersion')!r}, the project's is {version}")
		short = ".".join(version.split(".")[:3])
		if info.get("CFBundleShortVersionString") != short:
			faults.append(f"CFBundleShortVersionString is {info.get('CFBundleShortVersionString')!r}, expected {short}")
	if readme:
		faults += version_faults(read_page(readme), version, "the Read Me")
	if package_dir:
		packages = sorted(n for n in os.listdir(package_dir) if re.fullmatch(r"NDI-Vidrane-.*-Windows-x64\.zip", n))
		if packages != [package_name(version)]:
			faults.append(f"{package_dir} holds {packages or 'no package'}, expected just {package_name(version)}")
	# The version is written once, in the top-level CMakeLists.txt; nothing the build configures or
	# compiles may carry a copy of its own.
	for folder in ("Resources", "Source"):
		for name in sorted(os.listdir(os.path.join(sources, folder))):
			path = os.path.join(sources, folder, name)
			if not os.path.isfile(path):
				continue
			with open(path, "rb") as f:
				content = f.read().decode("utf-8", "replace")
			if version in content or version.replace(".", ",") in content.replace(" ", ""):
				faults.append(f"{folder}/{name} writes the version {version} itself instead of taking it from CMake")
	return faults


def pe_machine(data):
	"""The machine field of a PE file's header, or None when the data is not a PE file."""
	if len(data) < 64 or data[:2] != b"MZ":
		return None
	offset = struct.unpack_from("<I", data, 60)[0]
	if offset + 6 > len(data) or data[offset:offset + 4] != b"PE\0\0":
		return None
	return struct.unpack_from("<H", data, offset + 4)[0]


def check_package(zip_path, version, readme, unpack_into):
	faults = []
	if os.path.basename(zip_path) != package_name(version):
		faults.append(f"the package is named {os.path.basename(zip_path)}, expected {package_name(version)}")
	with zipfile.ZipFile(zip_path) as archive:
		bad = archive.testzip()
		if bad:
			faults.append(f"{bad} is damaged in the package")
		names = archive.namelist()
		if sorted(names) != sorted([DLL, READ_ME]):
			faults.append(f"the package holds {names}, expected exactly '{DLL}' and '{READ_ME}' side by side")
		if DLL in names:
			machine = pe_machine(archive.read(DLL))
			if machine != 0x8664:
				faults.append(f"{DLL} in the package is not an x64 Windows DLL (machine {machine})")
		if READ_ME in names:
			with open(readme, "rb") as f:
				if archive.read(READ_ME) != f.read():
					faults.append(f"the package's Read Me differs from the one built beside the DLL ({readme})")
		# A fresh folder for the test that loads the plug-in from it.
		shutil.rmtree(unpack_into, ignore_errors=True)
		os.makedirs(unpack_into)
		archive.extractall(unpack_into)
	return faults


def main():
	parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
	verbs = parser.add_subparsers(dest="verb", required=True)
	readme = verbs.add_parser("readme")
	readme.add_argument("page")
	readme.add_argument("--version", required=True)
	version = verbs.add_parser("version")
	version.add_argument("--version", required=True)
	version.add_argument("--sources", required=True)
	version.add_argument("--plist")
	version.add_argument("--readme")
	version.add_argument("--package-dir")
	package = verbs.add_parser("package")
	package.add_argument("zip")
	package.add_argument("--version", required=True)
	package.add_argument("--readme", required=True)
	package.add_argument("--unpack-into", required=True)
	args = parser.parse_args()

	if args.verb == "readme":
		faults = check_readme(args.page, args.version)
	elif args.verb == "version":
		faults = check_version(args.version, args.sources, args.plist, args.readme, args.package_dir)
	else:
		faults = check_package(args.zip, args.version, args.readme, args.unpack_into)
	for fault in faults:
		print(fault)
	print(f"{args.verb}: {'FAILED, ' + str(len(faults)) + ' faults' if faults else 'all good'}")
	return 1 if faults else 0


if __name__ == "__main__":
	sys.exit(main())
