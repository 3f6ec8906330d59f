// Placeholder translation unit; replaced by the model declarations and compilation.
namespace vorpex {}
