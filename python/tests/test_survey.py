"""tilevista.survey: rows read off one call equal their own calls; the same
table in process and on a local Dask cluster; a worker killed, Ctrl-C and
a second run; hostile inputs. The images are crops of data/camera.png."""

import logging
import math
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
from tilevista.survey_task import (SurveyTask, block_energies, call_point, point_psnr, run_task,
                                   survey_pixels)

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
    return run_survey(images, [30, 40, 45], [8, 16], out=tmp_path_factory.mktemp("in_process"),
                      workers=0)


def measures(survey):
    return [(r.key, tuple(getattr(r, m) for m in MEASURES)) for r in survey.rows]


def test_rows_read_off_one_call_equal_their_own_calls(images):
    img = read_image(images / "odd.png")
    targets = (40.0, 30.0, 45.0, 35.0)  # the tightest not first
    rows = run_task(SurveyTask(str(images / "odd.png"), 8, 16, targets))
    measured = survey_pixels(img, 8)
    assert measured.shape == (96, 112)  # cut to whole blocks
    blocks, layout = tilevista.image_blocks(measured, 8)
    D = tilevista.cosine_dictionary(8, 16)
    energies = block_energies(blocks)
    start = math.fsum(energies)
    assert [r.target_psnr for r in rows] == list(targets)
    for row in rows:
        assert row.error == "" and row.pixels == measured.size == 96 * 112
        tol = tilevista.tol_for_psnr(measured, row.target_psnr, 255)
        own = tilevista.approximate(blocks, D, D, tol, curve=True, duals=False, bases=False)
        point = call_point(own, start)
        assert (row.global_atoms, row.global_psnr) == \
            (point.atoms, point_psnr(point.energy, measured.size, 255))
        assert row.global_pixels_per_atom == measured.size / point.atoms
        # It is the PSNR of the approximation on the pixels measured.
        approx = tilevista.assemble(own.approximations, layout)
        assert row.global_psnr == pytest.approx(tilevista.psnr(measured, approx), abs=1e-9)
        assert row.target_psnr <= row.global_psnr < row.target_psnr + 0.5
        # Every block alone, in a call of its own, to its share.
        atoms, left = 0, []
        for q in range(len(blocks)):
            alone = tilevista.approximate(blocks[q:q + 1], D, D, tol / len(blocks), curve=True,
                                          duals=False, bases=False)
            p = call_point(alone, float(energies[q]))
            atoms, left = atoms + p.atoms, left + [p.energy]
            assert p.energy < tol / len(blocks)
        assert (row.blockwise_atoms, row.blockwise_psnr) == \
            (atoms, point_psnr(math.fsum(left), measured.size, 255))
        assert row.blockwise_psnr > row.target_psnr
    # The global choice takes fewer atoms for the same target.
    assert all(r.global_atoms < r.blockwise_atoms for r in rows)


def test_a_local_cluster_gives_the_table_of_the_run_in_process(images, reference, tmp_path):
    survey = run_survey(images, [30, 40, 45], [8, 16], out=tmp_path, workers=2)
    assert survey.computed == len(survey.rows) == 7 * 2 * 3
    assert measures(survey) == measures(reference)
    assert not any(r.error for r in survey.rows)
    assert {r.threads for r in survey.rows} == {1}  # TILEVISTA_THREADS=1 in the workers
    assert {r.worker.startswith("tcp://") for r in survey.rows} == {True}
    assert sorted(load_table(survey.results)) == sorted(survey.rows)  # as they ended
    assert (tmp_path / "summary.md").read_text().count("| 8 | cosine 16 | 30 |") == 7
    assert sorted(p.name for p in survey.plots) == sorted(
        f"{p.stem}_pixels_per_atom.png" for p in images.iterdir())
    # Run again: nothing left to compute.
    again = run_survey(images, [30, 40, 45], [8, 16], out=tmp_path, workers=2)
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

        survey = run_survey(images, [30, 40, 45], [8, 16], out=tmp_path,
                            scheduler=cluster.scheduler_address, progress=kill_a_busy_worker)
    assert killed
    assert measures(survey) == measures(reference)
    keys = [r.key for r in load_table(survey.results)]
    assert sorted(keys) == sorted(r.key for r in reference.rows)  # each once


def survey_command(*args, **popen):
    env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    return subprocess.Popen([sys.executable, "-m", "tilevista.survey", *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


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
    os.killpg(first.pid, signal.SIGINT)
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
        run_survey(images / "crop0.png", [-5], out=out, workers=0)
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
        f.write(f"{images / 'crop1.png'},16384,8,cosine 16,35.0,36.1")  # a write cut short
    code = status(bad, images / "crop0.png", "--psnr", 35, "--block", 8, 16)
    err = capsys.readouterr().err
    assert code == 1 and "Traceback" not in err
    assert f"{bad / 'text.png'}, blocks of 8, cosine 16: cannot read {bad / 'text.png'} as " \
           "an image" in err
    assert "the image is 1 x 1 pixels, smaller than one block of 8 x 8" in err
    assert "the image is 12 x 12 pixels, smaller than one block of 16 x 16" in err
    table = {r.key: r for r in load_table(out / "results.csv")}
    assert (out / "results.csv").read_text().startswith(before)
    assert len(table) == 4 * 2 and sum(bool(r.error) for r in table.values()) == 5
    assert table[(str(bad / "small.png"), 8, "cosine 16", 35.0)].global_atoms > 0
    # The module's own rejection: too few atoms.
    assert status(bad / "small.png", "--psnr", 35, "--block", 4, "--atoms", 1) == 1
    assert "cosine 1: the module rejected the call (TILEVISTA:" in capsys.readouterr().err

    # The text file becomes an image: its rows are computed again and replace the errors.
    write_png(bad / "text.png", read_image(images / "crop2.png"))
    assert status(bad, images / "crop0.png", "--psnr", 35, "--block", 8, 16) == 1
    rows = load_table(out / "results.csv")
    assert len(rows) == len({r.key for r in rows}) == 4 * 2 + 1
    assert not any(r.error for r in rows if "text.png" in r.image)
