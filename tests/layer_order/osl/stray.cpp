// A file the build does not place in any layer: the layer check must refuse it.
