"""tilevista.survey: rows read off one call equal their own calls; the same
table in process and on a local Dask cluster; a worker killed, Ctrl-C and
a second run; hostile inputs. The images are crops of data/camera.png."""

import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tilevista
from tilevista.pictures import read_image, write_png
from tilevista.survey import main, run_survey
from tilevista.survey_table import HEADER, ResultsFile, load_table
from tilevista.survey_report import load_curves, rate_distortion_figure
from tilevista.survey_task import SurveyTask, run_task

# The project's tree, for the bundled image: the one around the tests, or for
# the tests of an installed package the one TILEVISTA_TREE names
# (scripts/test-wheel).
ROOT = Path(os.environ.get("TILEVISTA_TREE") or Path(__file__).resolve().parents[2])
PYTHONPATH = os.path.dirname(os.path.dirname(tilevista.__file__))
MEASURES = ("pixels", "global_psnr", "global_atoms", "global_pixels_per_atom", "blockwise_psnr",
            "blockwise_atoms", "blockwise_pixels_per_atom", "error")


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    """Six grey crops of the bundled image (one not a multiple of the
    blocks) and a colour one of three crops."""
    if not (ROOT / "data" / "camera.png").is_file():
        pytest.skip("the survey's tests need the bundled image: set TILEVISTA_TREE")
    camera = read_image(ROOT / "data" / "camera.png")
    folder = tmp_path_factory.mktemp("images")
    for k, (top, left) in enumerate([(0, 0), (96, 160), (200, 40), (300, 300), (380, 120)]):
        write_png(folder / f"crop{k}.png", camera[top:top + 128, left:left + 128])
    write_png(folder / "odd.png", camera[50:50 + 100, 60:60 + 117])
    write_png(folder / "colour.png", np.dstack([camera[:96, :96], camera[96:192, :96],
                                                camera[192:288, :96]]))
    return folder


@pytest.fixture(scope="module")
def reference(images, tmp_path_factory):
    """The survey of the images, in process."""
    return run_survey(images, psnr=[30, 40, 45], block=[8, 16],
                      out=tmp_path_factory.mktemp("in_process"), workers=0)


def measures(survey):
    return [(r.key, tuple(getattr(r, m) for m in MEASURES)) for r in survey.rows]


def test_rows_read_off_one_call_equal_their_own_calls_and_approximate_image(images):
    # odd.png is 100 x 117: the border blocks are padded, as approximate_image
    # and the Octave toolbox pad them, and the PSNR is on the image's pixels.
    img = read_image(images / "odd.png")
    targets = (40.0, 30.0, 45.0, 35.0)  # the tightest not first
    outcome = run_task(SurveyTask(str(images / "odd.png"), 8, "cosine:16", targets))
    rows = outcome.rows
    blocks, layout = tilevista.image_blocks(img, 8)
    assert layout.padded_shape == (104, 120)
    D = tilevista.cosine_dictionary(8, 16)
    own = [min(8, 100 - 8 * (q % 13)) * min(8, 117 - 8 * (q // 13)) for q in range(len(blocks))]
    assert [r.target_psnr for r in rows] == list(targets)
    for row in rows:
        assert row.error == "" and row.pixels == img.size == 100 * 117
        # The same atoms and PSNR as approximate_image, and as a call at the
        # row's own target on the image's blocks.
        whole = tilevista.approximate_image(img, block=8, atoms=16, psnr_db=row.target_psnr)
        assert row.global_atoms == whole.atoms_per_block.sum()
        assert row.global_psnr == pytest.approx(whole.psnr, abs=1e-9)
        assert row.global_pixels_per_atom == img.size / row.global_atoms
        assert row.target_psnr <= row.global_psnr < row.target_psnr + 0.5
        # The curve passes through the row.
        at = outcome.curve.atoms.index(row.global_atoms)
        assert outcome.curve.psnr[at] == pytest.approx(row.global_psnr, abs=1e-9)
        # Every block alone, in a call of its own, to its share of the image's
        # pixels; the error summed over the image's pixels.
        tol = tilevista.tol_for_psnr(img, row.target_psnr, 255)
        atoms, approx = 0, []
        for q in range(len(blocks)):
            alone = tilevista.approximate(blocks[q:q + 1], D, D, tol * own[q] / img.size,
                                          duals=False, bases=False)
            atoms += alone.total_atoms
            approx.append(alone.approximations[0])
        assembled = tilevista.assemble(np.array(approx), layout)
        assert row.blockwise_atoms == atoms
        assert row.blockwise_psnr == pytest.approx(tilevista.psnr(img, assembled), abs=1e-9)
        assert row.blockwise_psnr > row.target_psnr
    # The global choice takes fewer atoms for the same target.
    assert all(r.global_atoms < r.blockwise_atoms for r in rows)
    # The curve: from one atom to the tightest target's, the PSNR rising.
    curve = outcome.curve
    assert curve.atoms[0] == 1 and curve.atoms[-1] == max(r.global_atoms for r in rows)
    assert 100 < len(curve.atoms) <= 410 and all(np.diff(curve.atoms) > 0)
    assert np.all(np.diff(curve.psnr) > -1e-9)


def test_the_plot_draws_each_global_call_whole_with_the_rate_rising(images, reference):
    rows = [r for r in reference.rows if r.image.endswith("odd.png")]
    curves = load_curves(reference.results.parent)
    figure = rate_distortion_figure(rows[0].image, rows, curves)
    axes = figure.axes[0]
    assert axes.get_xscale() == "log" and not axes.xaxis_inverted()
    assert axes.get_xlabel() == "rate (atoms per pixel)" and axes.get_ylabel() == "PSNR (dB)"
    assert "odd.png" in axes.get_title()
    legend = [t.get_text() for t in axes.get_legend().get_texts()]
    for block in (8, 16):
        curve = curves[(rows[0].image, block, f"cosine:{2 * block}")]
        line = next(l for l in axes.lines if l.get_label() == legend[legend.index(
            f"{block} x {block} blocks, cosine:{2 * block}: global (whole curve)")])
        assert len(line.get_xdata()) == len(curve.atoms) > 100
        assert np.all(np.diff(line.get_xdata()) > 0)
        assert f"{block} x {block} blocks, cosine:{2 * block}: block by block" in legend
    # Every row is in view, and the y axis is labelled up to the highest.
    figure.canvas.draw()
    bottom, top = axes.get_ylim()
    assert all(bottom <= r.global_psnr <= top and bottom <= r.blockwise_psnr <= top for r in rows)
    labelled = [t.get_position()[1] for t in axes.yaxis.get_ticklabels()
                if t.get_text() and bottom <= t.get_position()[1] <= top]
    assert max(labelled) >= max(max(r.global_psnr, r.blockwise_psnr) for r in rows) - 5
    assert sorted(p.name for p in reference.plots) == sorted(
        f"{p.stem}_rate_distortion.png" for p in images.iterdir())


def test_a_local_cluster_gives_the_table_of_the_run_in_process(images, reference, tmp_path):
    survey = run_survey(images, psnr=[30, 40, 45], block=[8, 16], out=tmp_path, workers=2)
    assert survey.computed == len(survey.rows) == 7 * 2 * 3
    assert measures(survey) == measures(reference)
    assert not any(r.error for r in survey.rows)
    assert {r.threads for r in survey.rows} == {1}  # TILEVISTA_THREADS=1 in the workers
    assert {r.worker.startswith("tcp://") for r in survey.rows} == {True}
    assert sorted(load_table(survey.results)) == sorted(survey.rows)  # as they ended
    assert (tmp_path / "summary.md").read_text().count("| 8 | cosine:16 | 16 x 16 | 30 |") == 7
    assert sorted(p.name for p in survey.plots) == sorted(
        f"{p.stem}_rate_distortion.png" for p in images.iterdir())
    # Run again: nothing left to compute.
    again = run_survey(images, psnr=[30, 40, 45], block=[8, 16], out=tmp_path, workers=2)
    assert again.computed == 0 and again.rows == survey.rows


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # tornado's, from LocalCluster
def test_a_worker_killed_in_the_middle_leaves_a_complete_table(images, reference, tmp_path):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        killed = []

        def kill_a_busy_worker(done, total):
            if killed:
                return
            busy = [w for w, keys in client.processing().items() if keys and w in pids]
            assert busy and done < total, (done, total)
            os.kill(pids[busy[0]], signal.SIGKILL)
            killed.append(busy[0])

        survey = run_survey(images, psnr=[30, 40, 45], block=[8, 16], out=tmp_path,
                            scheduler=cluster.scheduler_address, progress=kill_a_busy_worker)
    assert killed
    assert measures(survey) == measures(reference)
    keys = [r.key for r in load_table(survey.results)]
    assert sorted(keys) == sorted(r.key for r in reference.rows)  # each once


def survey_command(*args, **popen):
    env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    # Ctrl-C as a terminal session has it, even where this runs with SIGINT
    # ignored (a shell's background command).
    return subprocess.Popen([sys.executable, "-m", "tilevista.survey", *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                            **popen)


def test_ctrl_c_keeps_the_rows_written_and_a_second_run_computes_the_rest(images, tmp_path):
    args = (images, "--psnr", 30, 40, 45, "--block", 8, 16, "--atoms", 16, 32, "--workers", 2,
            "--out", tmp_path)
    # In its own process group, which gets the SIGINT, as a terminal's Ctrl-C does.
    first = survey_command(*args, start_new_session=True)
    results = tmp_path / "results.csv"
    deadline = time.monotonic() + 120
    while not (results.is_file() and results.read_text().count("\n") > 1):
        assert first.poll() is None and time.monotonic() < deadline, first.communicate()
        time.sleep(0.01)
    # Ctrl-C, and again as a user would while the survey has not stopped.
    for _ in range(5):
        os.killpg(first.pid, signal.SIGINT)
        try:
            out, err = first.communicate(timeout=2)
            break
        except subprocess.TimeoutExpired:
            continue
    else:
        out, err = first.communicate(timeout=60)
    assert first.returncode == 130, out + err
    assert "Traceback" not in err and "interrupted;" in err, err
    kept = results.read_text()
    rows = load_table(results)
    assert 0 < len(rows) < 7 * 2 * 2 * 3 and len(rows) % 3 == 0  # whole tasks
    assert kept.startswith(HEADER) and kept.endswith("\n")

    second = survey_command(*args)
    out, err = second.communicate(timeout=300)
    assert second.returncode == 0, out + err
    assert f"{len(rows)} already in {results}, {84 - len(rows)} to compute" in out
    done = results.read_text()
    assert done.startswith(kept)  # the first run's rows untouched
    keys = [r.key for r in load_table(results)]
    assert len(keys) == len(set(keys)) == 84


def test_hostile_inputs_give_messages_or_error_rows_and_lose_nothing(images, tmp_path, capsys):
    out = tmp_path / "out"
    assert main([str(images / "crop0.png"), "--psnr", "35", "--workers", "0",
                 "--out", str(out)]) == 0
    before = (out / "results.csv").read_text()
    capsys.readouterr()

    def status(*args, folder=out):
        try:
            return main([*map(str, args), "--workers", "0", "--out", str(folder)])
        except SystemExit as e:  # argparse's refusal
            return e.code

    def refused(*args, message, folder=out):
        code = status(*args, folder=folder)
        err = capsys.readouterr().err
        assert code == 2 and message in err and "Traceback" not in err, err
        assert (out / "results.csv").read_text() == before

    empty = tmp_path / "empty"
    empty.mkdir()
    refused(empty, message=f"{empty} is a folder without image files")
    refused(images / "crop0.png", "--psnr", "-5", message="-5 is not a target PSNR")
    refused(images / "crop0.png", "--psnr", "nan", message="nan is not a target PSNR")
    refused(images / "crop0.png", "--atoms", 46341, message="must be at most 46340")
    refused(images / "crop0.png", folder=images / "crop1.png", message="is not a folder")
    with pytest.raises(ValueError, match="above 0"):
        run_survey(images / "crop0.png", psnr=[-5], out=out, workers=0)
    # The options as a record, checked when made; keywords override it.
    from tilevista.survey import SurveyOptions
    for bad, message in ((dict(block=[8, 0]), "a block side must be a positive integer"),
                         (dict(atoms=46341), "at most 46340"),
                         (dict(workers=2, scheduler="tcp://127.0.0.1:1"), "not both"),
                         (dict(workers=-1), "whole number from 0"),
                         (dict(progress="yes"), "progress must be"),
                         (dict(psnr=[]), "no target PSNR")):
        with pytest.raises(ValueError, match=message):
            SurveyOptions(**bad)
        with pytest.raises(ValueError, match=message):
            run_survey(images / "crop0.png", SurveyOptions(out=out, workers=0), **bad)
    with pytest.raises(ValueError, match="must be a SurveyOptions"):
        run_survey(images / "crop0.png", [30, 40])
    with pytest.raises(ValueError, match="unknown option 'target'"):
        run_survey(images / "crop0.png", target=30, out=out, workers=0)
    again = run_survey(images / "crop0.png", SurveyOptions(psnr=[50], out=tmp_path, workers=2),
                       psnr=35, out=out, workers=0)
    assert again.computed == 0 and [r.target_psnr for r in again.rows] == [35.0]
    assert (out / "results.csv").read_text() == before
    with ResultsFile(out):  # another survey writing there
        refused(images / "crop0.png", message="another survey is writing to")
    (tmp_path / "foreign").mkdir()
    (tmp_path / "foreign" / "results.csv").write_text("a,b\n1,2\n")
    with pytest.raises(ValueError, match="is not a table of this survey"):
        run_survey(images / "crop0.png", out=tmp_path / "foreign", workers=0)

    bad = tmp_path / "bad"
    bad.mkdir()
    (bad / "text.png").write_text("not an image\n")
    write_png(bad / "dot.png", np.array([[7]], dtype=np.uint8))
    write_png(bad / "small.png", read_image(images / "crop0.png")[:12, :12])
    with open(out / "results.csv", "a") as f:
        f.write(f"{images / 'crop1.png'},16384,8,cosine:16,16,16,35.0,36.1")  # a write cut short
    code = status(bad, images / "crop0.png", "--psnr", 35, "--block", 8, 16)
    err = capsys.readouterr().err
    assert code == 1 and "Traceback" not in err
    assert f"{bad / 'text.png'}, blocks of 8, cosine:16: cannot read {bad / 'text.png'} as " \
           "an image" in err
    table = {r.key: r for r in load_table(out / "results.csv")}
    assert (out / "results.csv").read_text().startswith(before)
    assert len(table) == 4 * 2 and sum(bool(r.error) for r in table.values()) == 2
    # Images smaller than a block are padded to one, as approximate_image pads.
    for name, side in (("dot.png", 8), ("small.png", 16)):
        row = table[(str(bad / name), side, f"cosine:{2 * side}", 35.0)]
        img = read_image(bad / name)
        whole = tilevista.approximate_image(img, block=side, atoms=2 * side, psnr_db=35)
        assert (row.pixels, row.global_atoms) == (img.size, whole.atoms_per_block.sum())
        assert row.global_psnr == pytest.approx(whole.psnr, abs=1e-9) and row.global_psnr >= 35
    # The module's own rejection: too few atoms.
    assert status(bad / "small.png", "--psnr", 35, "--block", 4, "--atoms", 1) == 1
    assert "cosine:1: the module rejected the call (TILEVISTA:" in capsys.readouterr().err

    # The text file becomes an image: its rows are computed again and replace the errors.
    write_png(bad / "text.png", read_image(images / "crop2.png"))
    assert status(bad, images / "crop0.png", "--psnr", 35, "--block", 8, 16) == 0
    rows = load_table(out / "results.csv")
    assert len(rows) == len({r.key for r in rows}) == 4 * 2 + 1
    assert not any(r.error for r in rows if "text.png" in r.image)
