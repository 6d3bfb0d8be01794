"""A language server for model files: `trelm-cst lsp` (the `lsp` extra)."""
