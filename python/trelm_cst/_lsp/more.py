"""More of the language server's features, registered on the server built."""

from __future__ import annotations

from pygls.lsp.server import LanguageServer


def register(server: LanguageServer) -> None:
    """Adds features to the server; called once, at the end of building it."""
