"""The Python package against the Octave module (build/octave), bit for bit.

One Octave session (octave_calls.m) runs every call below; the tests then make
the same calls from Python and compare every output value's bits, the console
text, the rejection messages, and the demo's pictures and atom count.
"""

import ctypes
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import matplotlib
import numpy as np
import pytest

import tilevista
from tilevista.demo import run_demo
from tilevista.pictures import read_image, write_png
from tilevista.survey_task import SurveyTask, run_task

# The project's tree (the Octave module in build/octave, the bundled image):
# the one these tests lie in or, run from the sdist against an installed
# package, the one TILEVISTA_TREE names (scripts/test-wheel). Without a tree
# there is nothing to compare with.
ROOT = Path(os.environ.get("TILEVISTA_TREE") or Path(__file__).resolve().parents[2])
if not (ROOT / "module.build").is_file():
    pytest.skip("the comparison with Octave needs the project's tree: set TILEVISTA_TREE",
                allow_module_level=True)
CAMERA = ROOT / "data" / "camera.png"
PLACEMENT_TEST = "test_arrays_at_every_byte_offset_give_the_same_bits_and_are_read_in_place"

# Two 2 x 1 blocks and the 2 x 2 identity, the base of most rejections.
B = [np.array([[1.0], [2.0]]), np.array([[3.0], [4.0]])]
I2 = np.eye(2)
ONE = np.ones((1, 1))
BO = "{[1;2], [3;4]}"

# (Python arguments of approximate, the same call in Octave), one per check of
# the module that a Python caller can reach.
REJECTIONS = [
    ((B, I2 * 1j, ONE), f"TILEVISTA_Mex ({BO}, eye (2) * 1i, 1)"),
    ((B, I2, ONE, 1j), f"TILEVISTA_Mex ({BO}, eye (2), 1, 1i)"),
    (([], I2, ONE), "TILEVISTA_Mex ({}, eye (2), 1)"),
    ((np.array([[1.0], [2.0]]), I2, ONE), "TILEVISTA_Mex ([1;2], eye (2), 1)"),
    ((np.empty((0, 2, 1)), I2, ONE), "TILEVISTA_Mex (cell (1, 0), eye (2), 1)"),
    ((B, np.eye(3), ONE), f"TILEVISTA_Mex ({BO}, eye (3), 1)"),
    ((B, np.zeros((2, 0)), ONE), f"TILEVISTA_Mex ({BO}, zeros (2, 0), 1)"),
    ((B, I2, np.ones((2, 1))), f"TILEVISTA_Mex ({BO}, eye (2), [1; 1])"),
    ((B, np.ones((2, 1)), ONE), f"TILEVISTA_Mex ({BO}, [1; 1], 1)"),
    ((B, I2, ONE, [1, 2]), f"TILEVISTA_Mex ({BO}, eye (2), 1, [1 2])"),
    ((B, I2, ONE, 1, [[1], [2]]), f"TILEVISTA_Mex ({BO}, eye (2), 1, 1, [1; 2])"),
    (([np.array([[1j], [2]]), B[1]], I2, ONE), "TILEVISTA_Mex ({[1i;2], [3;4]}, eye (2), 1)"),
    (([B[0], np.ones((3, 1))], np.eye(3), ONE), "TILEVISTA_Mex ({[1;2], [1;1;1]}, eye (3), 1)"),
    ((B, I2, ONE, 1, 5), f"TILEVISTA_Mex ({BO}, eye (2), 1, 1, 5)"),
    ((B, I2, ONE, 1, -1), f"TILEVISTA_Mex ({BO}, eye (2), 1, 1, -1)"),
    ((B, I2, ONE, -1), f"TILEVISTA_Mex ({BO}, eye (2), 1, -1)"),
    (([ONE], np.ones((1, 65536)), np.ones((1, 65536))),
     "TILEVISTA_Mex ({1}, ones (1, 65536), ones (1, 65536))"),
    (([np.zeros((256, 256))], np.zeros((256, 256)), np.zeros((256, 256))),
     "TILEVISTA_Mex ({zeros(256)}, zeros (256), zeros (256))"),
]


# (n, description) for tilevista_dictionary and tilevista.dictionary: every
# family, at a power of two, a length with an odd part (12: two wavelet
# levels) and an odd length (no level), the mixes of the issue and the widest
# of docs/dictionaries.md, blanks and long numbers to normalise; then
# descriptions both must refuse with the same message.
DICTIONARIES = [(8, description) for description in (
    "cosine:16", "sine:16", "legendre:8", "chebyshev:8", "haar", "daubechies:1",
    "daubechies:2", "daubechies:3", "daubechies:4", "cdf97", "delta", "random:16:7",
    "cosine:16+legendre:8+haar+delta",
    " cosine : 32 + sine:16+legendre:8+haar+daubechies:2+delta ",
    "cosine:128+sine:64+legendre:8+haar+daubechies:2+daubechies:3+daubechies:4+cdf97+delta")] + [
    (12, "haar+daubechies:3+cdf97+legendre:012"), (7, "cdf97+haar+chebyshev:7+sine:9"),
    (32, "daubechies:4+cdf97+cosine:64+random:40:4294967295"), (1, "random:5:3+delta"),
    (1024, "haar")]
# tilevista_encode calls and tilevista.codec.encode's same ones: (image, psnr,
# bpp, block rows, block cols, dictionary, "text" or "matrix"); "small" is
# the fixture's small colour image.
CODEC_CALLS = [("camera", 36.0, 0.0, 8, 8, "", "text"),
               ("small", 38.0, 0.0, 4, 8, "", "text"),
               ("camera", 0.0, 0.5, 8, 8, "cosine:16+delta/haar", "text"),
               ("small", 33.0, 0.0, 4, 4, "legendre:4", "matrix")]
REFUSED_DICTIONARIES = [(8, "cosine:16+"), (8, "Cosine:16"), (8, "legendre:9"), (0, "haar"),
                        (1025, "haar"), (8, "random:3"), (8, "daubechies:5"), (8, ""),
                        (1024, "cosine:16385")]

# (tol, values, peak) around the edges of the rule that a tol reads like a
# PSNR: the ends of its range, and just under and over the margin.
TOL_RULE = [(t, n, p) for t in (9.99, 10.0, 38.0, 50.0, 100.0, 100.01, 150.0)
            for n in (16, 4096, 512 * 512, max(1, round(t * 10 ** ((t + 20) / 10) / 255 ** 2)),
                      round(t * 10 ** ((t + 20) / 10) / 255 ** 2) + 1)
            for p in (255.0,)] + [(50.0, round(50 * 10 ** 6.999), 1.0),
                                  (50.0, round(50 * 10 ** 7.001), 1.0), (38.0, 3, 65535.0)]


def _cases():
    """Successful calls: name -> (blocks, Dy, Dx, tol, max_atoms)."""
    rng = np.random.default_rng(15)
    random_blocks = [rng.standard_normal((3, 5)) for _ in range(40)]
    odd = [rng.standard_normal((2, 2)) * 10 for _ in range(6)]
    odd[1][0, 1] = np.nan
    odd[2][1, 1] = np.inf
    odd[3][:] = 0.0
    D4 = tilevista.cosine_dictionary(4, 8)
    tied = [np.outer(np.arange(4.0), np.arange(4.0) - 1.5)] * 5
    return {
        "worked": ([np.array([[3.0], [4.0]]), np.array([[0.0], [1.0]])], I2, ONE, 6.5, 0),
        "budget": (random_blocks, rng.standard_normal((3, 7)), rng.standard_normal((5, 4)), 0.0,
                   150),
        "nonfinite": (odd, tilevista.cosine_dictionary(2, 3), tilevista.cosine_dictionary(2, 3),
                      np.nan, 0),
        "ties": (tied, D4, D4, 1e-3, 0),
    }


def write_case(path, blocks, Dy, Dx, tol, max_atoms):
    rows, cols = blocks[0].shape
    header = [len(blocks), rows, cols, Dy.shape[1], Dx.shape[1], tol, max_atoms]
    parts = [np.array(header, np.float64)] + [np.ravel(b, order="F") for b in blocks]
    np.concatenate(parts + [np.ravel(Dy, order="F"), np.ravel(Dx, order="F")]).tofile(path)


def read_case(path):
    v = np.fromfile(path)
    q, r, c, ky, kx = (int(x) for x in v[:5])
    p = 7
    blocks = [v[p + i * r * c: p + (i + 1) * r * c].reshape((r, c), order="F") for i in range(q)]
    p += q * r * c
    Dy = v[p: p + r * ky].reshape((r, ky), order="F")
    Dx = v[p + r * ky: p + r * ky + c * kx].reshape((c, kx), order="F")
    return blocks, Dy, Dx, v[5], v[6]


def read_results(path):
    """Outputs 1 to 6 (lists of Octave's matrices), output 7 and the console."""
    v = np.fromfile(path)
    p, cells = 0, []
    for _ in range(6):
        count, p = int(v[p]), p + 1
        cell = []
        for _ in range(count):
            m, n = int(v[p]), int(v[p + 1])
            cell.append(v[p + 2: p + 2 + m * n].reshape((m, n), order="F"))
            p += 2 + m * n
        cells.append(cell)
    assert p == v.size - 1
    return cells, v[p], Path(str(path) + ".log").read_text()


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same(result, octave):
    """Every output value of a Python call equals Octave's, bit for bit."""
    (approx, y, x, duals, coefs, ortho), total, log = octave
    assert result.total_atoms == total
    assert result.log == log
    assert len(result.approximations) == len(approx)
    for q in range(len(approx)):
        assert np.array_equal(bits(result.approximations[q]), bits(approx[q]))
        m = y[q].size
        assert np.array_equal(result.y_indices[q], y[q].reshape(-1).astype(np.int64) - 1)
        assert np.array_equal(result.x_indices[q], x[q].reshape(-1).astype(np.int64) - 1)
        assert np.array_equal(bits(result.coefficients[q]), bits(coefs[q].reshape(-1)))
        for ours, theirs in ((result.duals[q], duals[q]), (result.orthonormal[q], ortho[q])):
            assert ours.shape == (approx[q].size, m)
            if m:
                assert np.array_equal(bits(ours), bits(theirs))


@pytest.fixture(scope="module")
def octave(tmp_path_factory):
    """Runs octave_calls.m once on every case; returns its working folder."""
    module = ROOT / "build" / "octave" / "TILEVISTA_Mex.oct"
    if shutil.which("octave-cli") is None or not module.is_file():
        pytest.fail(f"these tests need octave-cli and {module} (make octave)")
    work = tmp_path_factory.mktemp("octave")
    for name, case in _cases().items():
        write_case(work / f"{name}.in", *case)
    (work / "cases.txt").write_text("\n".join(_cases()) + "\n")
    (work / "rejections.txt").write_text("\n".join(call for _, call in REJECTIONS) + "\n")
    (work / "camera.txt").write_text(f"{CAMERA}\n")
    # A small colour image of odd size, as the Octave demo's own test uses.
    yy, xx = np.mgrid[1:11, 1:14]
    write_png(work / "small.png", np.dstack([10 * xx, 20 * yy, 5 * (xx + yy)]).astype(np.uint8))
    (work / "demo.txt").write_text(f"{work / 'small.png'}\n4\n35\n{work / 'octave_demo'}\n")
    (work / "tol_rule.txt").write_text("".join(f"{t!r} {n} {p!r}\n" for t, n, p in TOL_RULE))
    images = {"camera": CAMERA, "small": work / "small.png"}
    (work / "codec.txt").write_text("".join(
        f"{images[c[0]]}|{'|'.join(str(v) for v in c[1:])}\n" for c in CODEC_CALLS))
    (work / "dictionaries.txt").write_text("".join(
        f"{n} {description}\n" for n, description in DICTIONARIES + REFUSED_DICTIONARIES))
    done = subprocess.run(["octave-cli", "--no-gui", "--norc", str(Path(__file__).with_name(
        "octave_calls.m")), str(ROOT), str(work)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return work


def _openblas_kernels():
    """The kernel set of the OpenBLAS this process runs, or None."""
    try:
        corename = ctypes.CDLL("libopenblas.so.0").openblas_get_corename
    except (OSError, AttributeError):
        return None
    corename.restype = ctypes.c_char_p
    return corename().decode()


def test_both_run_the_kernel_set_asked_for(octave):
    # Under OPENBLAS_CORETYPE (the test below) each side must really run that
    # kernel set, or the runs under every set would prove nothing. (A setting
    # of the user's own environment may hold anything and is not checked.)
    setting = os.environ.get("TILEVISTA_KERNEL_SET_UNDER_TEST", "")
    if not setting.startswith("OPENBLAS_CORETYPE="):
        pytest.skip("no kernel set asked of OpenBLAS")
    asked = setting.split("=", 1)[1]
    assert (_openblas_kernels() or "").lower() == asked.lower()
    assert f" {asked.lower()} " in (octave / "blas.txt").read_text().lower()


def test_parity_holds_under_every_kernel_set():
    # OpenBLAS and the block scoring's kernel generator pick their kernels by
    # processor, and a user's may pick others than ours: these comparisons
    # again, both sides under each kernel set this processor can run.
    if os.environ.get("TILEVISTA_KERNEL_SET_UNDER_TEST"):
        pytest.skip("already running under one kernel set")
    settings = subprocess.run([ROOT / "tests" / "support" / "kernel-sets"], check=True,
                              capture_output=True, text=True).stdout.split()
    if not settings:
        pytest.skip("no kernel sets to choose on this processor")
    # And arrays at every offset, which some kernels sum in another order.
    offsets = f"{Path(__file__).with_name('test_module_call.py')}::{PLACEMENT_TEST}"
    for setting in settings:
        name, value = setting.split("=", 1)
        done = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__, offsets,
             "-k", "not every_kernel_set and not demos"],
            env=dict(os.environ, **{name: value, "TILEVISTA_KERNEL_SET_UNDER_TEST": setting}),
            capture_output=True, text=True,
            timeout=600)
        assert done.returncode == 0, f"under {setting}:\n{done.stdout}\n{done.stderr}"


@pytest.mark.parametrize("name", list(_cases()))
def test_calls_equal_octave_bit_for_bit(octave, name):
    blocks, Dy, Dx, tol, max_atoms = _cases()[name]
    assert_same(tilevista.approximate(blocks, Dy, Dx, tol, max_atoms),
                read_results(octave / f"{name}.out"))


def test_toolbox_pipeline_on_the_bundled_image_equals_octave(octave):
    # Octave's toolbox made the inputs from the image file; ours must make the
    # same bits, and the call on them the same outputs.
    img = read_image(CAMERA)
    blocks, layout = tilevista.image_blocks(img, 8, 8)
    D = tilevista.cosine_dictionary(8, 16)
    tol = tilevista.tol_for_psnr(img, 45, 255)
    theirs, Dy, _, their_tol, _ = read_case(octave / "camera.in")
    assert np.array_equal(bits(blocks), bits(np.array(theirs)))
    assert np.array_equal(bits(D), bits(Dy))
    assert bits(tol) == bits(their_tol)
    result = tilevista.approximate(blocks, D, D, tol)
    assert_same(result, read_results(octave / "camera.out"))
    assert tilevista.psnr(img, tilevista.assemble(result.approximations, layout)) >= 45


def documented(doc, message, console):
    """Whether a docstring lists a module message after a console line (""
    for none): its texts in double quotes, each on a line of its own, the
    console lines as 'after the console line "..."' with them, then their
    description; %i, %d, %g, %s and ... stand for any value."""
    def pattern(template):
        p = re.escape(template).replace(r"\.\.\.", ".*").replace("%s", ".*")
        return re.compile(re.sub("%[idg]", "[-+0-9.e]+", p))

    entries, described = [], True
    for line in (raw.strip() for raw in doc.splitlines()):
        text = re.fullmatch(r'"(.*)"', line)
        after = re.fullmatch(r'after the console line "(.*)"', line)
        if text or after:
            if described:
                entries.append(([], []))
            described = False
            entries[-1][0 if text else 1].append(pattern((text or after).group(1)))
        else:
            described = True
    return any(any(p.fullmatch(message) for p in texts)
               and (any(p.fullmatch(console) for p in consoles) if consoles else not console)
               for texts, consoles in entries)


@pytest.mark.parametrize("k", range(len(REJECTIONS)))
def test_rejections_carry_the_module_message_identifier_and_detail(octave, k):
    args, _ = REJECTIONS[k]
    message, identifier, console = ((octave / f"rejection_{k + 1}.{suffix}").read_text()
                                    for suffix in ("txt", "id", "log"))
    # Octave puts the module's name before the text.
    assert message.startswith("TILEVISTA_Mex: ")
    with pytest.raises(tilevista.CallRejected) as raised:
        tilevista.approximate(*args)
    error = raised.value
    text = message[len("TILEVISTA_Mex: "):].rstrip()
    assert isinstance(error, ValueError)
    assert (error.identifier, error.message.rstrip(), error.detail) == (identifier, text, console)
    # Shown: the plain words, in the words of Octave's tilevista_pursuit, whose
    # message has the module's texts after them; and the package's hint for
    # an image passed as blocks.
    pursuit = (octave / f"rejection_{k + 1}.pursuit").read_text()
    module = "\n".join(part.rstrip("\n") for part in (console, text) if part)
    assert pursuit == f"tilevista_pursuit: {error.plain}\n{module}"
    assert str(error) == "\n".join(part for part in (error.plain, error.hint) if part)
    assert "\n" not in error.plain and error.plain != text
    assert ("image_blocks" in error.hint) == (identifier == "TILEVISTA:notACell")
    # approximate's docstring maps it to its cause and cure.
    assert documented(tilevista.approximate.__doc__, text, (console.strip() + "\n").split("\n")[0])


def _hex_double(text):
    """Octave's num2hex of a double as Python's float.fromhex text."""
    bits = int(text.strip(), 16)
    return float.hex(np.array([bits], dtype=np.uint64).view(np.float64)[0])


def test_demos_write_the_same_pictures_and_count_the_same_atoms(octave, tmp_path, capsys):
    small = run_demo(octave / "small.png", [4], 35, tmp_path)
    assert small.atoms == int((octave / "demo_atoms.txt").read_text())
    # One rule for borders: the 10 x 13 image padded to 4 x 4 blocks gives
    # the same atoms and PSNR (on its own pixels) from Octave's demo, Python's
    # demo and approximate_image, and the survey's row at that target.
    their_psnr = float.fromhex(_hex_double((octave / "demo_psnr.txt").read_text()))
    assert small.reached_psnr == pytest.approx(their_psnr, abs=1e-9)
    img = read_image(octave / "small.png")
    whole = tilevista.approximate_image(img, block=4, atoms=8, psnr_db=35)
    row = run_task(SurveyTask(str(octave / "small.png"), 4, "cosine:8", (35.0,))).rows[0]
    assert whole.atoms_per_block.sum() == row.global_atoms == small.atoms
    assert whole.psnr == pytest.approx(their_psnr, abs=1e-9)
    assert row.global_psnr == pytest.approx(their_psnr, abs=1e-9) and row.pixels == img.size
    theirs = sorted((octave / "octave_demo").glob("*.png"))
    assert len(theirs) >= 2
    for picture in theirs:
        assert np.array_equal(read_image(tmp_path / picture.name), read_image(picture)), picture
    # The atoms picture: each block in the viridis colour of its count (the
    # channels' atoms together), on a scale from 0 to the largest count.
    counts = small.run.approximation.atoms_per_block.sum(axis=2)
    viridis = matplotlib.colormaps["viridis"](np.arange(256))[:, :3]
    atoms = read_image(small.files[2])
    assert atoms.shape[0] == 10 and atoms.shape[1] > 13
    for (i, j), n in np.ndenumerate(counts):
        colour = viridis[int(np.floor(255 * n / counts.max() + 0.5))]
        block = atoms[4 * i:min(4 * i + 4, 10), 4 * j:min(4 * j + 4, 13)]
        assert np.all(np.abs(block - 255 * colour) <= 0.5)
    # The bundled image: 45 dB with the atom count of Octave's call.
    camera = run_demo(CAMERA, [8], 45, tmp_path)
    assert camera.reached_psnr >= 45
    assert camera.atoms == read_results(octave / "camera.out")[1]
    assert camera.stop.startswith("target reached")
    # The colour bar's labels (black) keep a white margin of a stroke (4
    # pixels at this height) to the picture's edges, the top one too.
    labels = read_image(camera.files[2])[:, 512:]
    rows, cols = np.nonzero(np.all(labels == 0, axis=2))
    assert rows.min() >= 4 and rows.max() < 512 - 4 and cols.max() < labels.shape[1] - 4
    assert "reached PSNR     45.00 dB" in capsys.readouterr().out


def test_a_tol_read_as_a_psnr_is_told_by_the_same_rule_on_both_sides(octave):
    from tilevista.quality import tol_reads_as_psnr

    theirs = [line == "1" for line in (octave / "tol_rule.out").read_text().split()]
    ours = [tol_reads_as_psnr(t, n, p) is not None for t, n, p in TOL_RULE]
    assert len(theirs) == len(TOL_RULE) and theirs == ours
    assert 0 < sum(ours) < len(ours)


def test_dictionaries_are_the_same_bits_and_atoms_from_both_hosts(octave):
    # One C++ layer behind both: the same matrix bits, the same kept and
    # dropped atoms (Octave counts from 1), the same normalised description;
    # and a refusal raises the same identifier and message at both.
    for k, (n, description) in enumerate(DICTIONARIES + REFUSED_DICTIONARIES, start=1):
        name = octave / f"dictionary_{k}"
        if (n, description) in REFUSED_DICTIONARIES:
            with pytest.raises(tilevista.DictionaryRefused) as raised:
                tilevista.dictionary(description, n)
            identifier, message = (Path(f"{name}.{s}").read_text() for s in ("id", "msg"))
            assert raised.value.identifier == identifier == "TILEVISTA:dictionary", description
            assert message == f"tilevista_dictionary: {raised.value.message}", description
            assert "The families: cosine:K" in message
            continue
        ours = tilevista.dictionary(description, n)
        K = ours.matrix.shape[1]
        theirs = np.fromfile(f"{name}.bin").reshape((n, K), order="F")
        assert np.array_equal(bits(ours.matrix), bits(theirs)), description
        lines = Path(f"{name}.txt").read_text().splitlines()
        assert lines[0] == ours.description == description.replace(" ", "").replace(":012", ":12")
        assert lines[1:K + 1] == [f"{a.family}|{a.parameter}|{a.number + 1}" for a in ours.atoms]
        assert lines[K + 1:] == [f"{a.family}|{a.parameter}|{a.number + 1}|{r + 1}"
                                 for a, r in zip(ours.dropped, ours.repeats)]
        # Every atom has unit norm, and a dropped atom repeats its column.
        assert np.allclose(np.linalg.norm(theirs, axis=0), 1, atol=1e-14, rtol=0), description
        for a, r in zip(ours.dropped, ours.repeats):
            term = a.family + (f":{a.parameter}" if a.parameter else "")
            atom = tilevista.dictionary(term, n).matrix[:, a.number]
            assert abs(atom @ ours.matrix[:, r]) > 1 - 1e-12, (description, a)
    # The mix of the issue: the constants of legendre and haar left out.
    mix = tilevista.dictionary("cosine:16+legendre:8+haar+delta", 8)
    assert mix.matrix.shape == (8, 38) and mix.repeats == (0, 0)


def test_the_codec_writes_the_same_bytes_from_both_hosts(octave):
    # One C++ codec behind both: the same call gives the same file, and the
    # file the same image, from Octave and from Python (here, under every
    # kernel set with the tests above).
    from tilevista import codec

    for k, (name, psnr, bpp, rows, cols, description, kind) in enumerate(CODEC_CALLS, start=1):
        img = read_image(CAMERA if name == "camera" else octave / "small.png")
        dictionary = (tilevista.dictionary(description, rows).matrix if kind == "matrix"
                      else description or None)
        ours = codec.encode(img, psnr=psnr or None, bpp=bpp or None, block=(rows, cols),
                            dictionary=dictionary)
        theirs = (octave / f"codec_{k}.tvc").read_bytes()
        assert ours == theirs, (name, psnr, bpp, description)
        decoded = codec.decode(ours)
        assert decoded.shape == img.shape and decoded.dtype == np.uint8
        assert np.array_equal(np.ravel(decoded, order="F"),
                              np.fromfile(octave / f"codec_{k}.img", dtype=np.uint8))
