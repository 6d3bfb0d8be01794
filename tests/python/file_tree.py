"""Folders of files that tests make."""


def write(root, files):
    """Writes each file (a path relative to `root`, to its text, written as
    UTF-8 bytes so that line ends stay as given) and returns `root`."""
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode())
    return root
