"""Where the sample images are, for every benchmark and test that takes them:
the project's data/ folder, every PNG file in it (data/NOTICE.md lists them
with their licences). They are in the repository, so a clone has them."""

from pathlib import Path

#: The folder of the sample images.
FOLDER = Path(__file__).resolve().parents[1] / "data"


def sample_images():
    """The sample images' paths, sorted by name."""
    return sorted(FOLDER.glob("*.png"))
