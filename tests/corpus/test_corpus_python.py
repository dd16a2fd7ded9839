"""vallisynth.corpus: the program's bytes and rows through a process pool
and through a real Dask cluster, and decoding as the decoder program does."""

import os
import signal
import subprocess

import pytest

from conftest import ANALYSE, DECODE, tree

pytestmark = pytest.mark.skipif(not os.path.exists(ANALYSE),
                                reason="VALLISYNTH_ANALYSE (which CTest sets) names no program")
corpus_module = pytest.importorskip("vallisynth.corpus",
                                    reason="the Python package is not built")


def test_python_analyse_gives_the_program_s_bytes_rows_and_shards(corpus, reference, tmp_path):
    root, names = corpus
    streams, manifest = reference
    rows = corpus_module.analyse(names, tmp_path / "streams", root=root, progress=False,
                                 manifest=tmp_path / "manifest.tsv", chunk_size=5,
                                 program=ANALYSE)
    assert tree(tmp_path / "streams") == streams
    assert (tmp_path / "manifest.tsv").read_text() == manifest
    assert [r.line() for r in rows] == manifest.splitlines()[1:]
    assert rows[0].frames > 0 and rows[0].status == "ok"
    # Resumed: nothing rewritten, the same rows; one shard: every 4th file.
    stamp = (tmp_path / "streams" / names[3].replace(".wav", ".cc")).stat().st_mtime_ns
    again = corpus_module.analyse(names, tmp_path / "streams", root=root, progress=False,
                                  shard=(3, 4), program=ANALYSE)
    assert [r.input for r in again] == names[3::4]
    assert [r.line() for r in again] == [r.line() for r in rows[3::4]]
    assert (tmp_path / "streams" / names[3].replace(".wav", ".cc")).stat().st_mtime_ns == stamp
    with pytest.raises(ValueError, match="ORDER"):
        corpus_module.analyse(names[:1], tmp_path / "x", root=root, progress=False, order=500,
                              program=ANALYSE)


def test_python_decode_gives_the_decoder_program_s_bytes(corpus, reference, tmp_path):
    root, names = corpus
    streams, _ = reference
    for name, data in streams.items():
        (tmp_path / "streams" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "streams" / name).write_bytes(data)
    prefixes = ["streams/" + n[:-4] for n in names[:4]] + ["streams/missing"]
    rows = corpus_module.decode(prefixes, tmp_path / "wav", root=tmp_path, progress=False)
    assert [r.status for r in rows] == ["ok"] * 4 + ["failed"]
    assert rows[0].frames == len(streams[names[0][:-4] + ".lf0"]) // 4
    if os.path.exists(DECODE):
        for p in prefixes[:2]:
            subprocess.run([DECODE, *(tmp_path / (p + e) for e in (".lf0", ".cc", ".fv")),
                            tmp_path / "cli.wav"], check=True, capture_output=True)
            assert (tmp_path / "wav" / (p + ".wav")).read_bytes() == \
                (tmp_path / "cli.wav").read_bytes()
    stamp = (tmp_path / "wav" / (prefixes[0] + ".wav")).stat().st_mtime_ns
    again = corpus_module.decode(prefixes, tmp_path / "wav", root=tmp_path, progress=False)
    assert again == rows
    assert (tmp_path / "wav" / (prefixes[0] + ".wav")).stat().st_mtime_ns == stamp


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_dask_local_cluster_gives_the_program_s_bytes(corpus, reference, tmp_path):
    distributed = pytest.importorskip("distributed",
                                      reason="Dask distributed (python3-distributed) is absent")
    root, names = corpus
    streams, manifest = reference

    def too_slow(*_):
        raise TimeoutError("the Dask cluster took more than 150 s")

    previous = signal.signal(signal.SIGALRM, too_slow)
    signal.alarm(150)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster, timeout="60s") as client:
            executor = client.get_executor()
            rows = corpus_module.analyse(names, tmp_path / "streams", root=root,
                                         executor=executor, progress=False,
                                         manifest=tmp_path / "manifest.tsv", program=ANALYSE)
            prefixes = ["streams/" + n[:-4] for n in names[:6]]
            decoded = corpus_module.decode(prefixes, tmp_path / "wav", root=tmp_path,
                                           executor=executor, progress=False)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert tree(tmp_path / "streams") == streams
    assert (tmp_path / "manifest.tsv").read_text() == manifest
    assert all(r.status == "ok" for r in rows + decoded)
    local = corpus_module.decode(prefixes, tmp_path / "wav-local", root=tmp_path,
                                 progress=False)
    assert tree(tmp_path / "wav") == tree(tmp_path / "wav-local")
    assert local == decoded
