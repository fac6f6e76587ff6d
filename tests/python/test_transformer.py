import subprocess
import sys

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from sklearn.cluster import DBSCAN
from sklearn.manifold import TSNE, Isomap, trustworthiness
from sklearn.neighbors import KNeighborsTransformer as ExactTransformer
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import check_estimator
from threadpoolctl import threadpool_limits

import velnor


@pytest.fixture(scope="module")
def pixels(fashion):
    return fashion[:400] / np.float32(255)


def test_import_velnor_leaves_scikit_learn_and_scipy_unimported():
    code = ("import sys, velnor; velnor.knn_graph; import velnor.cli; "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'sklearn', 'scipy'})); "
            "velnor.KNeighborsTransformer; print('sklearn' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["[]", "True"]


def test_passes_check_estimator():
    check_estimator(velnor.KNeighborsTransformer(n_jobs=1))


def test_graph_of_the_fitted_rows(pixels):
    graph = velnor.KNeighborsTransformer(n_neighbors=5).fit_transform(pixels)
    assert isinstance(graph, csr_matrix) and graph.shape == (400, 400)
    assert np.array_equal(np.diff(graph.indptr), np.full(400, 6))
    first = graph.indptr[:-1]
    assert np.array_equal(graph.indices[first], np.arange(400)), "each row itself first"
    assert np.all(graph.data[first] == 0), "its zero stored explicitly"
    data = graph.data.reshape(400, 6)
    assert np.all(np.diff(data, axis=1) >= 0), "rows sorted by distance"
    exact = ExactTransformer(n_neighbors=5).fit_transform(pixels)
    np.testing.assert_allclose(data, exact.data.reshape(400, 6), rtol=1e-5, atol=1e-5)

    connectivity = velnor.KNeighborsTransformer(n_neighbors=5, mode="connectivity").fit(pixels)
    held_out = connectivity.transform(pixels[:7] + 0.01)
    assert held_out.shape == (7, 400) and held_out.nnz == 35 and np.all(held_out.data == 1)


@pytest.mark.parametrize("transformer, error, words", [
    (velnor.KNeighborsTransformer(n_neighbors=0), ValueError, "n_neighbors"),
    (velnor.KNeighborsTransformer(mode="distances"), ValueError, "mode"),
    (velnor.KNeighborsTransformer(metric="manhattan"), ValueError, "unsupported metric"),
    (velnor.KNeighborsTransformer(n_neighbors=400), ValueError, "n_samples_fit"),
])
def test_errors(pixels, transformer, error, words):
    with pytest.raises(error, match=words):
        transformer.fit_transform(pixels)


def test_pipelines_match_scikit_learns_exact_graph(pixels):
    def embed(transformer):
        return make_pipeline(transformer(n_neighbors=10),
                             Isomap(n_neighbors=10, metric="precomputed")).fit_transform(pixels)

    def cluster(transformer):
        return make_pipeline(transformer(n_neighbors=10),
                             DBSCAN(eps=5.0, min_samples=5, metric="precomputed")).fit_predict(pixels)

    np.testing.assert_allclose(embed(velnor.KNeighborsTransformer), embed(ExactTransformer), rtol=1e-4,
                               atol=1e-4)
    labels = cluster(velnor.KNeighborsTransformer)
    assert len(set(labels)) > 2 and np.array_equal(labels, cluster(ExactTransformer))


def test_tsne_pipeline_keeps_neighbourhoods(pixels):
    tsne = make_pipeline(velnor.KNeighborsTransformer(n_neighbors=16),
                         TSNE(metric="precomputed", init="random", perplexity=5, max_iter=300,
                              random_state=0))
    # One OpenMP thread: t-SNE's many short parallel loops crawl on a busy machine.
    with threadpool_limits(1, user_api="openmp"):
        embedding = tsne.fit_transform(pixels)
    assert embedding.shape == (400, 2) and np.isfinite(embedding).all()
    assert trustworthiness(pixels, embedding, n_neighbors=5) > 0.9
