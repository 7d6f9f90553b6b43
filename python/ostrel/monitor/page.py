"""The monitor's page: static files shipped in the package, served as they are or folded into
one self-contained HTML file that carries its figures."""

from __future__ import annotations

import json
from importlib import resources
from typing import Any

SERVED = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/monitor.js": ("monitor.js", "text/javascript; charset=utf-8"),
    "/monitor.css": ("monitor.css", "text/css; charset=utf-8"),
}

_STYLE_LINK = '<link rel="stylesheet" href="monitor.css">'
_SCRIPT_TAG = '<script src="monitor.js"></script>'


def static(name: str) -> bytes:
    return resources.files("ostrel.monitor").joinpath("static", name).read_bytes()


def self_contained(figures: dict[str, Any]) -> str:
    """The page with its style and script inline and `figures` embedded, for reading offline."""
    html = static("index.html").decode()
    # "</" cannot end the inline elements early once escaped; JSON reads "<\/" as "</".
    data = json.dumps(figures, separators=(",", ":")).replace("</", "<\\/")
    script = static("monitor.js").decode().replace("</", "<\\/")
    style = static("monitor.css").decode()
    for tag in (_STYLE_LINK, _SCRIPT_TAG):
        if tag not in html:
            raise RuntimeError(f"the page has lost its {tag}")
    return (html.replace(_STYLE_LINK, f"<style>\n{style}</style>")
            .replace(_SCRIPT_TAG, f'<script id="figures" type="application/json">{data}</script>\n'
                                  f"<script>\n{script}</script>"))
