"""The quorra module over sample documents written by the reference host."""
import os
import shutil
import threading

import numpy as np
import pytest

import quorra


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    directory = tmp_path_factory.mktemp("sample")
    top, occurrences = quorra.write_sample(str(directory), depth=3, fanout=4, parts=8, seed=7)
    return top, occurrences


@pytest.fixture(scope="module")
def assembly(sample):
    return quorra.load(sample[0])


def test_load_builds_every_occurrence_plain_and_threaded(sample):
    top, occurrences = sample
    seen = []
    for threaded in (False, True):
        asm = quorra.load(top, threaded=threaded, progress=seen.append)
        assert len(asm) == occurrences
        assert asm.problems == []
        assert asm.root.parent is None and asm.root.roadmap == ""
    assert seen and all(isinstance(text, str) for text in seen)


def test_walk_is_depth_first_and_matches_children(assembly):
    order = list(assembly.walk())
    # Rebuild the depth-first order from .children: any other order differs.
    expected = []

    def visit(occ):
        expected.append(occ)
        for child in occ.children:
            assert child.parent == occ
            visit(child)

    visit(assembly.root)
    assert order == expected
    called = []
    assert assembly.walk(called.append) is None
    assert called == order
    assert len({occ.roadmap for occ in order}) == len(order)
    assert all(occ.is_part == (not occ.children) for occ in order[1:])


def test_find_returns_the_occurrence_of_each_roadmap(assembly):
    for occ in assembly.walk():
        found = assembly.find(occ.roadmap)
        assert found == occ
        assert found.document == occ.document
    assert assembly.find("") == assembly.root


@pytest.mark.parametrize(
    "roadmap, error",
    [("99", quorra.NotFoundError), ("1/99999", quorra.NotFoundError),
     ("1/x", quorra.InvalidArgumentError), ("1//2", quorra.InvalidArgumentError),
     ("-1", quorra.InvalidArgumentError), ("4294967296", quorra.InvalidArgumentError)])
def test_find_failures_raise_with_code_and_name(assembly, roadmap, error):
    with pytest.raises(error) as caught:
        assembly.find(roadmap)
    assert isinstance(caught.value, quorra.Error)
    assert caught.value.code & 0x80000000
    assert caught.value.name


def test_matrices_and_ranges_are_views_of_the_tree(assembly):
    occ = next(o for o in assembly.walk() if o.is_part and o.roadmap.count("/") == 2)
    matrix = occ.world_matrix
    assert matrix.shape == (4, 4) and not matrix.flags.writeable and not matrix.flags.owndata
    assert np.allclose(matrix[3], [0, 0, 0, 1])
    # The world matrix is the chain of the parents' placements.
    parent = occ.parent.world_matrix
    assert not np.allclose(matrix, parent)
    box = occ.range
    assert box.shape == (2, 3) and np.all(box[0] <= box[1])
    # A view keeps the tree alive after every other reference is gone.
    del occ
    assert np.isfinite(matrix).all()


def test_world_matrices_batch_equals_walk(assembly):
    batch = assembly.world_matrices()
    assert batch.shape == (len(assembly), 4, 4)
    for row, occ in zip(batch, assembly.walk()):
        assert np.array_equal(row, occ.world_matrix)
    out = np.full((len(assembly), 4, 4), np.nan)
    assert assembly.world_matrices(out=out) is out
    assert np.array_equal(out, batch)


@pytest.mark.parametrize("make", [
    lambda n: np.empty((n - 1, 4, 4)),                 # one row short
    lambda n: np.empty((n, 4, 4), dtype=np.float32),    # wrong type
    lambda n: np.empty((n, 4, 4), order="F"),          # not C order
    lambda n: np.empty((n, 16)),                       # wrong shape
    lambda n: np.empty((2 * n, 4, 4))[::2],            # strided view
    lambda n: [[0.0] * 4] * 4,                          # not an array
])
def test_world_matrices_refuses_an_unfit_out(assembly, make):
    out = make(len(assembly))
    with pytest.raises(quorra.InvalidArgumentError):
        assembly.world_matrices(out=out)
    frozen = np.zeros((len(assembly), 4, 4))
    frozen.flags.writeable = False
    with pytest.raises(quorra.InvalidArgumentError):
        assembly.world_matrices(out=frozen)
    assert not frozen.any()


def test_flags_are_named_booleans(assembly):
    root = assembly.root
    part = next(o for o in assembly.walk() if o.is_part)
    assert root.flags["assembly"] and not root.flags["part"]
    assert part.flags["part"] and not part.flags["assembly"]
    assert all(isinstance(value, bool) for value in part.flags.values())


def test_ids_round_trip_keeps_the_tree(assembly, tmp_path):
    path = str(tmp_path / "tree.ids")
    assembly.save_ids(path)
    again = quorra.load_ids(path)
    assert [o.roadmap for o in again.walk()] == [o.roadmap for o in assembly.walk()]
    assert np.allclose(again.world_matrices(), assembly.world_matrices())


def test_failing_loads_raise_load_errors(tmp_path):
    with pytest.raises(quorra.NotFoundError) as caught:
        quorra.load(str(tmp_path / "absent.asm"))
    assert caught.value.code == 0x80030002
    garbage = tmp_path / "garbage.asm"
    garbage.write_bytes(b"not a compound file" * 10)
    with pytest.raises(quorra.Error):
        quorra.load(str(garbage))
    with pytest.raises(quorra.Error):
        quorra.load_ids(str(garbage))


def test_missing_reference_is_listed_not_fatal(sample, tmp_path):
    copy = tmp_path / "copy"
    shutil.copytree(os.path.dirname(sample[0]), copy)
    victim = sorted(p for p in os.listdir(copy) if p.endswith(".par"))[0]
    os.remove(copy / victim)
    asm = quorra.load(str(copy / os.path.basename(sample[0])))
    assert 0 < len(asm) < sample[1]
    assert asm.problems and all(p["name"] == victim and p["reason"] == "not found" for p in asm.problems)


def test_loads_run_without_the_gil(sample):
    # Two loads in threads: each must release the interpreter to overlap at
    # all; the check is only that both finish and agree.
    results = []
    threads = [threading.Thread(target=lambda: results.append(len(quorra.load(sample[0])))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [sample[1]] * 2


def test_docstrings_are_present():
    for item in (quorra.load, quorra.load_ids, quorra.Assembly.walk, quorra.Assembly.find,
                 quorra.Assembly.save_ids, quorra.Assembly.save, quorra.Assembly.bom,
                 quorra.Assembly.world_matrices, quorra.Assembly.overrides, quorra.Assembly.picture, quorra.Assembly.dump, quorra.Occurrence.world_matrix,
                 quorra.Occurrence.color, quorra.Occurrence.matrix, quorra.Error, quorra.LoadError):
        assert item.__doc__


@pytest.fixture
def own_sample(tmp_path):
    top, occurrences = quorra.write_sample(str(tmp_path), depth=3, fanout=3, parts=4, seed=3)
    return top


def test_hidden_override_is_applied_and_survives_save_and_reload(own_sample):
    asm = quorra.load(own_sample)
    assert asm.overrides == []
    occ = asm.find("1/2")
    sibling = asm.find("1/1")
    occ.hidden = True
    assert occ.hidden and occ.flags["hidden"] and not sibling.hidden
    assert [entry[0] for entry in asm.overrides] == ["1/2"]
    asm.save()
    del asm, occ, sibling
    again = quorra.load(own_sample)
    assert again.find("1/2").hidden and not again.find("1/1").hidden
    assert [entry[0] for entry in again.overrides] == ["1/2"]
    again.find("1/2").hidden = False
    assert not again.find("1/2").hidden


def test_matrix_override_moves_the_occurrence_and_its_children(own_sample):
    asm = quorra.load(own_sample)
    occ = asm.find("1")
    child_before = np.array(asm.find("1/1").world_matrix)
    moved = np.array(occ.matrix)
    moved[:3, 3] += [10.0, 20.0, 30.0]
    occ.matrix = moved
    assert np.allclose(occ.matrix, moved)
    assert np.allclose(occ.world_matrix, asm.root.world_matrix @ moved)
    # A child follows its parent: the translation shows in its world matrix.
    assert not np.allclose(asm.find("1/1").world_matrix, child_before)
    asm.save()
    assert np.allclose(quorra.load(own_sample).find("1").matrix, moved)
    with pytest.raises(quorra.InvalidArgumentError):
        occ.matrix = np.eye(3)


def test_bom_counts_instances_and_quantities(assembly):
    lines = assembly.bom()
    assert [l["name"].lower() for l in lines] == sorted(l["name"].lower() for l in lines)
    by_path = {l["document"]: l for l in lines}
    occurrences = [o for o in assembly.walk()][1:]
    for path, line in by_path.items():
        # count: occurrences of the document in the whole product.
        assert line["count"] == sum(o.document == path for o in occurrences)
        # quantity: placements of it in each parent document.
        placed = {}
        for o in occurrences:
            if o.document == path:
                parent = os.path.basename(o.parent.document)
                placed.setdefault(parent, set()).add(o.roadmap.rsplit("/", 1)[-1])
        assert {os.path.splitext(k)[0].lower(): len(v) for k, v in placed.items()} == \
            {os.path.splitext(k)[0].lower(): v for k, v in line["quantity"].items()}
    assert all(l["kind"] in ("part", "assembly") for l in lines)


IOT_STYLE = 0x1


def quantised(channel):
    # A packed style keeps 4 bits a channel.
    level = int(channel / 255 * 15 + 1 / 30)
    return (level * 255 + 7) // 15


def test_style_and_colour_are_applied_and_survive_save_and_reload(own_sample):
    asm = quorra.load(own_sample)
    part = asm.find("1/1/1")
    other = asm.find("1/1/2")
    assert part.is_part and part.style == 0 and part.color is None
    part.style = 0x40000123
    assert part.style == 0x40000123 and other.style == 0
    # Its red, green and blue levels are 3, 2 and 1.
    assert part.color == (51, 34, 17)
    other.color = (255, 128, 0)
    assert other.color == (255, quantised(128), 0) and other.style & 0x40000000
    assert [(roadmap, bool(props & IOT_STYLE)) for roadmap, props, _ in asm.overrides] == \
        [("1/1/1", True), ("1/1/2", True)]
    asm.save()
    del asm, part, other
    again = quorra.load(own_sample)
    assert again.find("1/1/1").style == 0x40000123
    assert again.find("1/1/2").color == (255, quantised(128), 0)
    assert again.find("1/1/3").color is None


def test_a_colour_of_none_gives_the_part_its_own_style(own_sample):
    asm = quorra.load(own_sample)
    part = asm.find("1/1/1")
    part.color = (0, 0, 255)
    assert part.color == (0, 0, 255)
    part.color = None
    assert part.color is None and part.style == 0
    [(roadmap, props, _)] = asm.overrides
    assert roadmap == "1/1/1" and props & IOT_STYLE


@pytest.mark.parametrize("value", [(1, 2), (1, 2, 3, 4), (256, 0, 0), (-1, 0, 0), "abc", 7, (1.5, 2, 3)])
def test_bad_colours_are_refused(own_sample, value):
    asm = quorra.load(own_sample)
    with pytest.raises(quorra.InvalidArgumentError) as caught:
        asm.find("1/1/1").color = value
    assert caught.value.code == 0x80070057 and caught.value.name
    assert asm.find("1/1/1").color is None and asm.overrides == []


def test_an_exception_in_a_walk_callback_stops_the_walk(assembly):
    seen = []

    def visit(occ):
        seen.append(occ)
        if len(seen) == 3:
            raise KeyError("enough")

    with pytest.raises(KeyError):
        assembly.walk(visit)
    assert len(seen) == 3


def test_the_readme_example_runs(tmp_path):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    code = readme.split("```python\n", 1)[1].split("```", 1)[0]
    assert len(code.strip().splitlines()) == 5
    exec(code.replace("/tmp/quorra-sample", str(tmp_path)), {})
    again = quorra.load(str(tmp_path / "sample.asm"))
    assert again.find("1").hidden


def test_world_matrices_of_a_tree_larger_than_the_caches(tmp_path):
    # Past 16 MiB of output the batch walk writes with streaming stores.
    top, occurrences = quorra.write_sample(str(tmp_path), depth=3, fanout=72, parts=16, seed=5)
    asm = quorra.load(top)
    assert occurrences * 128 >= 16 << 20
    batch = asm.world_matrices()
    walked = list(asm.walk())
    assert batch.shape == (len(walked), 4, 4)
    for index in list(range(0, len(walked), 1013)) + [len(walked) - 1]:
        assert np.array_equal(batch[index], walked[index].world_matrix)
    out = np.zeros_like(batch)
    asm.world_matrices(out=out)
    assert np.array_equal(out, batch)


def test_matrix_is_the_placement_in_the_parent(assembly):
    for occ in assembly.walk():
        parent = occ.parent
        expected = occ.world_matrix if parent is None else parent.world_matrix @ occ.matrix
        assert np.allclose(expected, occ.world_matrix)
        assert occ.matrix.flags.writeable  # a copy the caller may change


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("threaded", [False, True])
def test_a_failing_progress_callback_does_not_stop_the_load(sample, threaded):
    calls = []

    def progress(text):
        calls.append(text)
        raise RuntimeError("progress callback failed")

    asm = quorra.load(sample[0], threaded=threaded, progress=progress)
    assert len(asm) == sample[1] and calls


def test_picture_draws_override_colours_and_leaves_hidden_parts_out(own_sample, tmp_path):
    asm = quorra.load(own_sample)
    shown, hidden = asm.find("1/1/1"), asm.find("1/1/2")
    shown.color = (255, 0, 0)
    hidden.color = (0, 0, 255)
    svg = tmp_path / "a.svg"
    asm.picture(str(svg), camera="top")
    text = svg.read_text()
    assert text.startswith("<svg") and 'stroke="#ff0000"' in text and 'stroke="#0000ff"' in text
    hidden.hidden = True
    page = tmp_path / "a.html"
    asm.picture(str(page))
    text = page.read_text()
    assert "<svg" in text and 'stroke="#ff0000"' in text and 'stroke="#0000ff"' not in text


@pytest.mark.parametrize("path, camera", [("a.png", "iso"), ("a.svg", "side")])
def test_picture_refuses_an_unknown_format_or_camera(assembly, tmp_path, path, camera):
    with pytest.raises(ValueError):
        assembly.picture(str(tmp_path / path), camera=camera)
    assert not (tmp_path / path).exists()


def test_picture_into_a_missing_folder_raises_a_quorra_error(assembly, tmp_path):
    with pytest.raises(quorra.Error):
        assembly.picture(str(tmp_path / "no" / "such" / "a.svg"))


def test_dumps_describe_every_occurrence(assembly):
    parts = [occ for occ in assembly.walk() if occ.is_part]
    brief = assembly.dump("brief")
    assert brief.count("[PAR]") == len(parts)
    assert brief.count("[ASM]") == len(assembly) - len(parts)
    assert len(assembly.dump("tree")) > len(brief)
    atp = assembly.dump()
    assert atp and atp == assembly.dump("atp", version=6)
    assert assembly.dump("atp", version=1) != atp
    table = assembly.dump("table")
    assert table and len(assembly.dump("table", verbose=True)) > len(table)
    with pytest.raises(ValueError):
        assembly.dump("xml")
