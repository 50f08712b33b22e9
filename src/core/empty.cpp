// Placeholder translation unit for a layer that has no sources yet.
namespace tavro { void empty_layer_anchor() {} }
