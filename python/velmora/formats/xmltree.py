"""XML of instrument files parsed with the standard library's ``xml.etree``, refusing any
document type declaration: the files read here (XRDML, Bruker .brml) never have one, and one
is how entity expansion ("billion laughs") and external entities get in.  The declaration is
caught by the parser itself, wherever it stands and in whatever encoding the file is, not by
a search of the first bytes."""
import xml.etree.ElementTree as ET

from .common import FileError


class _Refused(Exception):
    pass


class _NoDoctype(ET.TreeBuilder):
    def doctype(self, name, pubid, system):
        raise _Refused(name)


def parse(path, raw, what):
    """The root element of the XML bytes ``raw``; a FileError naming ``path`` for XML that is
    not well formed or that declares a document type (``what`` names the format)."""
    parser = ET.XMLParser(target=_NoDoctype())
    try:
        parser.feed(raw)
        return parser.close()
    except _Refused:
        raise FileError(f"{path}: an XML file with a document type declaration; {what} files "
                        f"have none") from None
    except (ET.ParseError, LookupError, ValueError) as exc:  # LookupError: unknown encoding
        raise FileError(f"{path}: not a well-formed XML file ({exc})") from None


def local(tag):
    """An element's name without its namespace."""
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def child(element, name):
    """The first child of ``element`` named ``name`` (namespaces ignored), or None."""
    for item in element:
        if local(item.tag) == name:
            return item
    return None


def children(element, name):
    """The children of ``element`` named ``name`` (namespaces ignored)."""
    return [item for item in element if local(item.tag) == name]
