// GVCP encoders and parsers (filled in by the following commits).
namespace gevlink::wire {}
