import warnings

import numpy as np
import umap

import velnor


def test_knn_graph_goes_straight_into_umap(fashion):
    x = fashion[:500]
    graph = velnor.knn_graph(x, 10)
    reducer = umap.UMAP(n_neighbors=10, precomputed_knn=graph, n_epochs=30, init="random",
                        random_state=0)
    with warnings.catch_warnings():
        # UMAP warns that without a search index it cannot transform new data.
        warnings.simplefilter("ignore")
        embedding = reducer.fit_transform(x)
    assert embedding.shape == (500, 2) and np.isfinite(embedding).all()
    # UMAP's fuzzy graph joins exactly the pairs of the kNN graph, in either
    # direction, without the rows themselves.
    fuzzy = reducer.graph_.tocoo()
    ours = {(i, j) for i, row in enumerate(graph.indices) for j in row[1:]}
    assert {(i, j) for i, j in zip(fuzzy.row, fuzzy.col)} <= ours | {(j, i) for i, j in ours}
    assert fuzzy.nnz >= len(ours)
