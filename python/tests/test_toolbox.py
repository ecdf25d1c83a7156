"""The toolbox: blocks and their layout, the cosine dictionary, PSNR and tol,
and whole images (the block order and the dictionary's bits are also checked
against Octave's toolbox in test_octave_parity.py)."""

import math
import os
import warnings
from pathlib import Path

import numpy as np
import pytest

import tilevista
from tilevista.demo import main as main_demo, run_demo
from tilevista.survey import SurveyOptions, main as survey_main
from tilevista.survey_task import SurveyTask, run_task
from tilevista.pictures import write_png


@pytest.mark.parametrize("shape", [(8, 8), (7, 10), (5, 3, 3), (1, 1), (9, 4, 1)])
@pytest.mark.parametrize("block", [(1, 1), (3, 2), (4, 4)])
def test_cutting_and_assembling_give_the_image_back(shape, block):
    img = (np.arange(math.prod(shape)) * 37 % 251).reshape(shape).astype(np.uint8)
    blocks, layout = tilevista.image_blocks(img, *block)
    assert blocks.dtype == np.float64 and blocks.shape == (layout.count,) + block
    # Each block column-major, as the module reads it: passed without a copy.
    assert blocks[0].flags.f_contiguous and blocks.flags.aligned
    back = tilevista.assemble(blocks, layout)
    assert back.dtype == np.float64 and np.array_equal(back, img)
    assert np.array_equal(tilevista.assemble(list(blocks), layout), img)


def test_blocks_run_down_columns_then_channels_and_pad_by_repeating():
    img = np.arange(5 * 5 * 2).reshape(5, 5, 2)
    blocks, layout = tilevista.image_blocks(img, 2)
    assert layout.grid == (3, 3) and layout.padded_shape == (6, 6) and layout.channels == 2
    assert np.array_equal(blocks[1], img[2:4, 0:2, 0])           # below the first
    assert np.array_equal(blocks[3], img[0:2, 2:4, 0])           # next column
    assert np.array_equal(blocks[9], img[0:2, 0:2, 1])           # next channel
    assert np.array_equal(blocks[8], np.full((2, 2), img[4, 4, 0]))  # corner padding
    assert np.array_equal(blocks[2], np.vstack([img[4:5, 0:2, 0]] * 2))
    # A change to a block shows at its place.
    changed = blocks.copy()
    changed[4] = -1
    out = tilevista.assemble(changed, layout)
    assert np.all(out[2:4, 2:4, 0] == -1) and np.sum(out == -1) == 4


def test_helpers_refuse_what_they_cannot_cut_or_assemble():
    blocks, layout = tilevista.image_blocks(np.ones((4, 4)), 2)
    bad = [
        (lambda: tilevista.image_blocks(np.ones((4, 4)), 0), "rows must be a positive integer"),
        (lambda: tilevista.image_blocks(np.ones((4, 4)), 2, 1.5), "cols must be a positive"),
        (lambda: tilevista.image_blocks(np.ones((4, 4)), True), "not a boolean"),
        (lambda: tilevista.image_blocks(np.ones((0, 4)), 2), "non-empty"),
        (lambda: tilevista.image_blocks(np.ones(4), 2), "non-empty H x W"),
        (lambda: tilevista.image_blocks(np.ones((2, 2)) * 1j, 1), "real numbers"),
        (lambda: tilevista.assemble(blocks[:3], layout), "4 blocks of 2 x 2"),
        (lambda: tilevista.assemble([*blocks[:3], np.ones((1, 2))], layout),
         r"blocks\[3\] has shape \(1, 2\)"),
        (lambda: tilevista.assemble(blocks, (4, 4)), "BlockLayout"),
        (lambda: tilevista.cosine_dictionary(0), "n must be a positive integer"),
        (lambda: tilevista.cosine_dictionary(4, 2.5), "K must be a positive integer"),
        (lambda: tilevista.psnr(np.ones(2), np.ones(3)), "one shape"),
        (lambda: tilevista.psnr(np.ones(2), np.ones(2), peak=0), "peak must be"),
        (lambda: tilevista.psnr([], []), "empty"),
        (lambda: tilevista.tol_for_psnr(np.ones(2), float("nan")), "NaN"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), psnr_db=30, tol=1), "not both"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), block=(2, 2, 2)), "pair"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), block=2, Dy=np.eye(4)),
         "Dy has atoms of length 4, but the blocks have 2 rows"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), atoms=3, Dy=np.eye(2),
                                             Dx=np.eye(2)), "atoms or both dictionaries"),
        (lambda: tilevista.ImageOptions(psnr_db=30, tol=1), "not both"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), (2, 2)), "must be an ImageOptions"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), psnr=30), "unknown option 'psnr'"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), clip="yes"), "clip must be True"),
        (lambda: tilevista.approximate_image(np.ones((4, 4)), progress=3), "progress must be"),
        (lambda: tilevista.ImageOptions(atoms=(1, 2, 3)), "atoms must be an integer or a pair"),
        (lambda: tilevista.combine_dictionaries(np.eye(4)), "at least two"),
        (lambda: tilevista.combine_dictionaries(np.eye(4), np.eye(3)),
         "dictionary 2 has 3 rows, dictionary 1 has 4"),
        (lambda: tilevista.combine_dictionaries(np.eye(2), np.eye(2) * 1j), "dictionary 2 must"),
        (lambda: tilevista.combine_dictionaries(np.zeros((2, 0)), np.eye(2)), "dictionary 1 m"),
        (lambda: tilevista.combine_dictionaries(np.eye(2), np.ones(2)), "dictionary 2 must"),
    ]
    for call, message in bad:
        with pytest.raises(ValueError, match=message):
            call()


def test_cosine_dictionary_has_unit_atoms_and_holds_the_basis():
    for n, K in [(8, 8), (8, 16), (5, 13), (6, 3), (1, 4)]:
        D = tilevista.cosine_dictionary(n, K)
        assert D.shape == (n, K)
        assert np.allclose(np.linalg.norm(D, axis=0), 1, atol=1e-14)
    basis = tilevista.cosine_dictionary(8)
    assert np.allclose(basis.T @ basis, np.eye(8), atol=1e-14)
    assert np.allclose(tilevista.cosine_dictionary(8, 16)[:, ::2], basis, atol=1e-14)
    # Joined dictionaries: the atoms side by side in the order given, float64
    # from any exactly convertible dtype, the bits of the parts kept.
    D = tilevista.combine_dictionaries([[1], [2]], np.array([[3, 4], [5, 6]], np.int16),
                                       np.array([[7], [8]], np.float32))
    assert D.dtype == np.float64 and D.tolist() == [[1, 3, 4, 7], [2, 5, 6, 8]]
    cosine = tilevista.cosine_dictionary(4, 6)
    D = tilevista.combine_dictionaries(cosine, np.eye(4))
    assert D.shape == (4, 10) and D[:, :6].tobytes() == cosine.tobytes()
    assert np.array_equal(D[:, 6:], np.eye(4))


def test_psnr_and_tol_for_psnr_agree():
    assert tilevista.psnr(np.zeros((3, 3)), np.ones((3, 3)), 10) == pytest.approx(20)
    assert tilevista.psnr(np.uint8([0, 0]), np.uint8([255, 255])) == pytest.approx(0)
    assert tilevista.psnr(np.ones(3), np.ones(3)) == math.inf
    img = np.zeros((6, 7))
    tol = tilevista.tol_for_psnr(img, 37.5)
    assert tol == pytest.approx(42 * 255**2 / 10**3.75)
    # An error of exactly tol gives exactly the target PSNR.
    assert tilevista.psnr(img, img + math.sqrt(tol / 42)) == pytest.approx(37.5, abs=1e-10)
    # Values above the peak in force are computed with it, and told.
    wide = np.array([[0.0, 1000.0]])
    with pytest.warns(tilevista.PeakExceededWarning, match="values up to 1000, above the peak 255"):
        assert tilevista.tol_for_psnr(wide, 40) == pytest.approx(2 * 255**2 / 1e4)
    with pytest.warns(tilevista.PeakExceededWarning, match="pass the largest value"):
        assert tilevista.psnr(wide, wide + 1) == pytest.approx(10 * math.log10(255**2))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tilevista.tol_for_psnr(wide, 40, peak=1000)
        tilevista.psnr(np.uint8([[0, 255]]), np.uint8([[1, 254]]))


@pytest.mark.parametrize("shape", [(21, 30), (13, 10, 3)])
def test_whole_images_reach_their_target(shape):
    rng = np.random.default_rng(3)
    smooth = np.cumsum(np.cumsum(rng.integers(0, 3, shape), axis=0), axis=1)
    img = (smooth * 255 // smooth.max()).astype(np.uint8)
    told = []
    out = tilevista.approximate_image(img, block=(4, 5), atoms=(8, 10), psnr_db=38,
                                      progress=lambda *p: told.append(p))
    assert out.image.shape == img.shape and out.psnr >= 38
    assert told and told[-1][2] == tilevista.tol_for_psnr(img, 38)
    assert out.psnr == tilevista.psnr(img, out.image)
    # The atom counts are those of one call on the image's blocks, on its grid.
    blocks, layout = tilevista.image_blocks(img, 4, 5)
    r = tilevista.approximate(blocks, tilevista.cosine_dictionary(4, 8),
                              tilevista.cosine_dictionary(5, 10), tilevista.tol_for_psnr(img, 38))
    assert out.atoms_per_block.shape == layout.grid + shape[2:]
    assert out.atoms_per_block.sum() == r.total_atoms
    counts = tilevista.image_blocks(np.dstack([out.atoms_per_block]), 1)[0].reshape(-1)
    assert np.array_equal(counts, [y.size for y in r.y_indices])
    # Float images default to a peak of 1; a tol given directly is used as is.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tilevista.approximate_image(img / 255.0, psnr_db=38).psnr >= 38
        # The tol rule is checked after each atom: a huge tol stops after the first.
        assert tilevista.approximate_image(img, tol=1e12).atoms_per_block.sum() == 1
        # A float image of values 0 to 255 with its peak: the uint8 image's call.
        as_float = tilevista.approximate_image(img.astype(np.float64), block=(4, 5),
                                               atoms=(8, 10), psnr_db=38, peak=255)
    assert np.array_equal(as_float.atoms_per_block, out.atoms_per_block)
    # The options as one record, alone or overridden by keywords: the same call.
    options = tilevista.ImageOptions(block=(4, 5), atoms=(8, 10), psnr_db=38)
    for same in (tilevista.approximate_image(img, options),
                 tilevista.approximate_image(img, tilevista.ImageOptions(block=(4, 5),
                                                                         psnr_db=50),
                                             atoms=(8, 10), psnr_db=38)):
        assert np.array_equal(same.atoms_per_block, out.atoms_per_block)
        assert same.psnr == out.psnr
    # Without it the peak 1 asks for ~48 dB more, and that is told.
    with pytest.warns(tilevista.PeakExceededWarning, match="default for float64 images"):
        lossless = tilevista.approximate_image(img.astype(np.float64), block=(4, 5),
                                               atoms=(8, 10), psnr_db=38)
    assert lossless.atoms_per_block.sum() > 2 * out.atoms_per_block.sum()
    # A PSNR passed as tol asks for 60 dB here; a tol that asks for about its
    # own value in dB is not taken for one.
    with pytest.warns(tilevista.TolLooksLikePsnrWarning, match="pass psnr_db=38"):
        tilevista.approximate_image(img, tol=38)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tilevista.approximate_image(img / 255.0, tol=38)


def test_whole_images_take_any_dictionaries_and_clip_on_request():
    # Steps inside blocks overshoot: the approximation leaves the image's range.
    img = np.zeros((10, 12), np.uint8)
    img[2:7, 3:9] = 255
    Dy = tilevista.combine_dictionaries(tilevista.cosine_dictionary(5, 10), np.eye(5))
    Dx = tilevista.cosine_dictionary(4, 6)
    raw = tilevista.approximate_image(img, Dy=Dy, Dx=Dx, psnr_db=20)
    blocks, layout = tilevista.image_blocks(img, 5, 4)
    r = tilevista.approximate(blocks, Dy, Dx, tilevista.tol_for_psnr(img, 20))
    assert np.array_equal(raw.image, tilevista.assemble(r.approximations, layout))
    assert raw.image.min() < 0 or raw.image.max() > 255
    clipped = tilevista.approximate_image(img, block=(5, 4), atoms=(99, 6), Dy=Dy, psnr_db=20,
                                          clip=True)
    assert np.array_equal(clipped.image, np.clip(raw.image, 0, 255))
    assert clipped.psnr == tilevista.psnr(img, clipped.image) >= raw.psnr


def test_the_demo_names_the_rule_that_stopped_the_pursuit(tmp_path, capsys, monkeypatch):
    # Noise at an unreachable target fills every block (the budget); a flat
    # image at tol 0 runs out of useful atoms (tol2).
    noise = np.random.default_rng(2).integers(0, 256, (8, 12)).astype(np.uint8)
    write_png(tmp_path / "noise.png", noise)
    write_png(tmp_path / "flat.png", np.full((8, 12), 77, np.uint8))
    full = run_demo(tmp_path / "noise.png", [4], 400, tmp_path)
    assert (full.stop, full.atoms) == ("atom budget spent", 96)
    # The threads are the call's, whatever the variable's spelling: the
    # module reads "+2 " as 2.
    monkeypatch.setenv("TILEVISTA_THREADS", "+2 ")
    flat = run_demo(tmp_path / "flat.png", [4], math.inf, tmp_path, progress=True)
    assert (flat.stop, flat.atoms) == ("no atom left that improves any block", 6)
    assert flat.run.tol == 0
    report = capsys.readouterr()
    assert "reached PSNR     inf dB, no atom left" in report.out
    assert f"s, {flat.run.result.threads} thread" in report.out
    assert 1 <= flat.run.result.threads <= tilevista.threads() == 2
    # The progress bar on stderr, to its last count of atoms, drawn once.
    assert "TILEVISTA: [" in report.err and "6 atoms]" in report.err
    # A target reached: the full bar and the call's atoms, drawn once.
    img = np.add.outer(np.arange(32), np.arange(32)).astype(np.uint8)
    atoms = tilevista.approximate_image(img, psnr_db=40, progress=True).atoms_per_block.sum()
    err = capsys.readouterr().err.replace("\n", "\r")
    drawn = [s.strip() for s in err.split("\r") if s.strip()]
    assert [s for s in drawn if f"{atoms} atoms]" in s and "100%" in s] == drawn[-1:], drawn


def test_the_element_type_rule_is_stated_once_for_both_routes():
    # One paragraph, word for word, in help(tilevista), Octave's help of
    # tilevista_pursuit and docs/python.md; and Python does what it says.
    root = Path(os.environ.get("TILEVISTA_TREE") or Path(__file__).resolve().parents[2])
    if not (root / "octave" / "tilevista_pursuit.m").is_file():
        pytest.skip("the Octave help is in the project's tree: set TILEVISTA_TREE")

    def paragraph(text, strip=""):
        lines = [line.strip().lstrip(strip).strip() for line in text.splitlines()]
        start = next(k for k, line in enumerate(lines) if line.startswith("Element types, Octave"))
        end = next(k for k in range(start, len(lines)) if not lines[k])
        return " ".join(lines[start:end])

    ours = paragraph(tilevista.__doc__)
    assert "uint8" in ours and "converts" in ours and "rejects" in ours
    assert paragraph((root / "octave" / "tilevista_pursuit.m").read_text(), "%") == ours
    assert paragraph((root / "docs" / "python.md").read_text(), ">") == ours
    blocks, _ = tilevista.image_blocks(np.arange(64, dtype=np.uint8).reshape(8, 8), 4)
    D = tilevista.cosine_dictionary(4, 8)
    as_uint8 = tilevista.approximate(blocks.astype(np.uint8), D, D, 1.0)
    as_double = tilevista.approximate(blocks, D, D, 1.0)
    assert as_uint8.total_atoms == as_double.total_atoms > 0
    assert all(np.array_equal(a, b) for a, b in zip(as_uint8.approximations,
                                                     as_double.approximations))
    with pytest.raises(ValueError, match="blocks"):
        tilevista.approximate(blocks.astype(np.complex64).astype(object), D, D, 1.0)


def test_every_door_takes_description_strings_as_the_matrices_they_name(tmp_path, capsys):
    # A description gives what the matrix it names gives, at every door that
    # takes a dictionary: one string for both directions (each built for its
    # own side of these 5 x 4 blocks), "ROWS/COLUMNS", a pair, Dy= and Dx=.
    img = ((np.add.outer(np.arange(20) ** 2, 7 * np.arange(24)) % 256)).astype(np.uint8)
    write_png(tmp_path / "img.png", img)
    Dy = tilevista.dictionary("cosine:10+haar", 5).matrix
    Dx = tilevista.dictionary("legendre:4+delta", 4).matrix
    by_matrix = tilevista.approximate_image(img, Dy=Dy, Dx=Dx, psnr_db=30)
    for given in (dict(dictionary="cosine:10+haar / legendre:4+delta"),
                  dict(dictionary=("cosine:10+haar", Dx)), dict(Dy="cosine:10+haar", Dx=Dx),
                  dict(Dy="cosine:10+haar", Dx="legendre:4+delta")):
        out = tilevista.approximate_image(img, block=(5, 4), psnr_db=30, **given)
        assert np.array_equal(out.image, by_matrix.image) and out.psnr == by_matrix.psnr, given
    both = tilevista.approximate_image(img, block=(5, 4), dictionary="haar+delta", psnr_db=30)
    same = tilevista.approximate_image(img, psnr_db=30,
                                       Dy=tilevista.dictionary("haar+delta", 5).matrix,
                                       Dx=tilevista.dictionary("haar+delta", 4).matrix)
    assert np.array_equal(both.image, same.image)
    # The demo, from Python and its command line.
    demo = run_demo(tmp_path / "img.png", [5, 4], 30, tmp_path,
                    dictionary="cosine:10+haar/legendre:4+delta")
    assert demo.atoms == by_matrix.atoms_per_block.sum()
    assert demo.run.names == ("cosine:10+haar", "legendre:4+delta")
    assert "Y 5 x 15 cosine:10+haar, X 4 x 8 legendre:4+delta" in capsys.readouterr().out
    assert main_demo([str(tmp_path / "img.png"), "--block", "5", "4", "--psnr", "30", "--out",
                      str(tmp_path), "--dictionary", "fourier:3"]) == 2
    assert "Bad dictionary description \"fourier:3\"" in capsys.readouterr().err
    # The survey: a task's rows name the normalised description and its size,
    # and equal the matrix's rows; its command line takes descriptions.
    task = run_task(SurveyTask(str(tmp_path / "img.png"), 4, " haar + cosine:8", (30.0,)))
    matrix = tilevista.dictionary("haar+cosine:8", 4).matrix
    plain = run_task(SurveyTask(str(tmp_path / "img.png"), 4, matrix, (30.0,)))
    assert (task.rows[0].dictionary, task.rows[0].atoms_y, task.rows[0].atoms_x) == (
        "haar+cosine:8", 11, 11)
    assert plain.rows[0].dictionary.startswith("matrix 4 x 11 ")
    assert task.rows[0].global_atoms == plain.rows[0].global_atoms > 0
    assert task.rows[0].seconds_per_atom == pytest.approx(
        task.rows[0].global_seconds / task.rows[0].global_atoms)
    refused = run_task(SurveyTask(str(tmp_path / "img.png"), 4, "legendre:5", (30.0,))).rows[0]
    assert "legendre:K (K = 1..n)" in refused.error and refused.atoms_y is None
    assert survey_main([str(tmp_path / "img.png"), "--block", "4", "--psnr", "30",
                        "--workers", "0", "--out", str(tmp_path / "survey"),
                        "--dictionary", "delta", "cosine:8/haar"]) == 0
    summary = (tmp_path / "survey" / "summary.md").read_text()
    assert "| 4 | delta | 4 x 4 | 30 |" in summary
    assert "| 4 | cosine:8/haar | 8 x 4 | 30 |" in summary
    # Joining for one direction: descriptions built for the matrices' rows.
    joined = tilevista.combine_dictionaries(np.eye(8), "cosine:16+haar")
    assert np.array_equal(joined, np.hstack([np.eye(8),
                                             tilevista.dictionary("cosine:16+haar", 8).matrix]))
    assert tilevista.combine_dictionaries("delta", "haar", n=4).shape == (4, 8)
    # Refusals name the door's rule, or carry the layer's identifier.
    for call, kind, message in [
            (lambda: tilevista.approximate_image(img, dictionary="fourier:3"),
             tilevista.DictionaryRefused, "The families: cosine:K"),
            (lambda: tilevista.approximate_image(img, dictionary="haar", atoms=4), ValueError,
             "give dictionary, or Dy, Dx and atoms"),
            (lambda: tilevista.approximate_image(img, dictionary="haar/delta/haar"), ValueError,
             "one '/'"),
            (lambda: tilevista.combine_dictionaries("delta", "haar"), ValueError,
             "needs the atoms' length"),
            (lambda: SurveyOptions(atoms=16, dictionary="haar"), ValueError,
             "atoms or dictionary, not both"),
            (lambda: SurveyOptions(dictionary=[3]), ValueError,
             "a description string or a NumPy array")]:
        with pytest.raises(kind, match=message) as raised:
            call()
        if kind is tilevista.DictionaryRefused:
            assert raised.value.identifier == "TILEVISTA:dictionary"
