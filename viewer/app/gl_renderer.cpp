#include "viewer/app/gl_renderer.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstddef>

namespace nubiview {
namespace {

const char* const kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 1) in vec4 colour;
uniform mat4 worldViewProj;
out vec4 vColour;
void main() {
  // A point with a NaN or infinite coordinate stays in the store but is not
  // drawn: it is placed beyond the far plane, where clipping drops it.
  bool unusable = any(isnan(position)) || any(isinf(position));
  gl_Position = unusable ? vec4(0.0, 0.0, 2.0, 1.0) : worldViewProj * vec4(position, 1.0);
  vColour = colour;
}
)";

const char* const kFragmentShader = R"(#version 330 core
in vec4 vColour;
out vec4 fragColour;
void main() { fragColour = vColour; }
)";

bool compile(GLenum type, const char* source, GLuint& shader, std::string& error) {
  shader = glCreateShader(type);
  glShaderSource(shader, 1, &source, nullptr);
  glCompileShader(shader);
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (ok) return true;
  char log[1024] = {};
  glGetShaderInfoLog(shader, sizeof log, nullptr, log);
  error = std::string("shader compilation failed: ") + log;
  glDeleteShader(shader);
  shader = 0;
  return false;
}

void vertexLayout() {
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(Vertex), reinterpret_cast<void*>(offsetof(Vertex, x)));
  glEnableVertexAttribArray(1);
  glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, sizeof(Vertex), reinterpret_cast<void*>(offsetof(Vertex, r)));
}

}  // namespace

GlRenderer::~GlRenderer() { destroy(); }

bool GlRenderer::create(std::string& error) {
  GLuint vs = 0, fs = 0;
  if (!compile(GL_VERTEX_SHADER, kVertexShader, vs, error)) return false;
  if (!compile(GL_FRAGMENT_SHADER, kFragmentShader, fs, error)) {
    glDeleteShader(vs);
    return false;
  }
  program_ = glCreateProgram();
  glAttachShader(program_, vs);
  glAttachShader(program_, fs);
  glLinkProgram(program_);
  glDeleteShader(vs);
  glDeleteShader(fs);
  GLint ok = 0;
  glGetProgramiv(program_, GL_LINK_STATUS, &ok);
  if (!ok) {
    char log[1024] = {};
    glGetProgramInfoLog(program_, sizeof log, nullptr, log);
    error = std::string("shader link failed: ") + log;
    destroy();
    return false;
  }
  wvpLocation_ = glGetUniformLocation(program_, "worldViewProj");

  glGenVertexArrays(1, &cloudVao_);
  glGenBuffers(1, &cloudVbo_);
  glGenBuffers(1, &meshIbo_);
  glBindVertexArray(cloudVao_);
  glBindBuffer(GL_ARRAY_BUFFER, cloudVbo_);
  vertexLayout();
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, meshIbo_);

  glGenVertexArrays(1, &gizmoVao_);
  glGenBuffers(1, &gizmoVbo_);
  glGenBuffers(1, &gizmoIbo_);
  glBindVertexArray(gizmoVao_);
  glBindBuffer(GL_ARRAY_BUFFER, gizmoVbo_);
  glBufferData(GL_ARRAY_BUFFER, 24 * sizeof(Vertex), nullptr, GL_DYNAMIC_DRAW);
  vertexLayout();
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gizmoIbo_);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, 34 * sizeof(std::uint32_t), nullptr, GL_STATIC_DRAW);

  glGenVertexArrays(1, &lineVao_);
  glGenBuffers(1, &lineVbo_);
  glBindVertexArray(lineVao_);
  glBindBuffer(GL_ARRAY_BUFFER, lineVbo_);
  glBufferData(GL_ARRAY_BUFFER, 2 * sizeof(Vertex), nullptr, GL_DYNAMIC_DRAW);
  vertexLayout();
  glBindVertexArray(0);
  uploadGizmo(BuildGizmo(1, -1, 1));
  return true;
}

void GlRenderer::destroy() {
  if (program_) glDeleteProgram(program_);
  for (GLuint* vao : {&cloudVao_, &gizmoVao_, &lineVao_})
    if (*vao) glDeleteVertexArrays(1, vao);
  for (GLuint* b : {&cloudVbo_, &meshIbo_, &gizmoVbo_, &gizmoIbo_, &lineVbo_})
    if (*b) glDeleteBuffers(1, b);
  program_ = cloudVao_ = gizmoVao_ = lineVao_ = 0;
  cloudVbo_ = meshIbo_ = gizmoVbo_ = gizmoIbo_ = lineVbo_ = 0;
  pointCount_ = triangleIndices_ = 0;
}

void GlRenderer::uploadCloud(const std::vector<Vertex>& vertices) {
  glBindBuffer(GL_ARRAY_BUFFER, cloudVbo_);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(Vertex)),
               vertices.empty() ? nullptr : vertices.data(), GL_DYNAMIC_DRAW);
  pointCount_ = vertices.size();
}

void GlRenderer::patchColour(std::uint32_t index, const Vertex& v) {
  if (index >= pointCount_) return;
  glBindBuffer(GL_ARRAY_BUFFER, cloudVbo_);
  glBufferSubData(GL_ARRAY_BUFFER, static_cast<GLintptr>(index * sizeof(Vertex)), sizeof(Vertex), &v);
}

void GlRenderer::uploadTriangles(const std::vector<std::uint32_t>& indices) {
  glBindVertexArray(cloudVao_);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, meshIbo_);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(std::uint32_t)),
               indices.empty() ? nullptr : indices.data(), GL_STATIC_DRAW);
  glBindVertexArray(0);
  triangleIndices_ = indices.size();
}

void GlRenderer::uploadGizmo(const Gizmo& g) {
  glBindBuffer(GL_ARRAY_BUFFER, gizmoVbo_);
  glBufferSubData(GL_ARRAY_BUFFER, 0, sizeof g.vertices, g.vertices);
  glBindVertexArray(gizmoVao_);
  glBufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, sizeof g.indices, g.indices);
  glBindVertexArray(0);
}

void GlRenderer::setPickLine(bool shown, Vec3 a, Vec3 b) {
  pickLine_ = shown;
  if (!shown) return;
  Vertex v[2];
  v[0].x = a.x;
  v[0].y = a.y;
  v[0].z = a.z;
  v[1].x = b.x;
  v[1].y = b.y;
  v[1].z = b.z;
  for (Vertex& e : v) {
    e.r = 255;
    e.g = 0;
    e.b = 255;
    e.a = 255;
  }
  glBindBuffer(GL_ARRAY_BUFFER, lineVbo_);
  glBufferSubData(GL_ARRAY_BUFFER, 0, sizeof v, v);
}

void GlRenderer::clear(std::uint32_t bg, int width, int height) {
  glViewport(0, 0, width, height);
  glClearColor(((bg >> 16) & 0xFF) / 255.0f, ((bg >> 8) & 0xFF) / 255.0f, (bg & 0xFF) / 255.0f, 1.0f);
  glClearDepth(1.0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void GlRenderer::draw(const Mat4& wvp, bool drawCloud, bool drawMesh) {
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glDisable(GL_CULL_FACE);
  glDisable(GL_BLEND);
  glUseProgram(program_);
  glUniformMatrix4fv(wvpLocation_, 1, GL_FALSE, wvp.m);
  if (drawCloud && pointCount_ > 0) {
    glBindVertexArray(cloudVao_);
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(pointCount_));
    if (drawMesh && triangleIndices_ > 0) {
      // pushed back a little so the points on the surface stay visible
      glEnable(GL_POLYGON_OFFSET_FILL);
      glPolygonOffset(1.0f, 1.0f);
      glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(triangleIndices_), GL_UNSIGNED_INT, nullptr);
      glDisable(GL_POLYGON_OFFSET_FILL);
    }
  }
  if (drawCloud) {
    glBindVertexArray(gizmoVao_);
    glDrawElements(GL_LINES, 34, GL_UNSIGNED_INT, nullptr);
    if (pickLine_) {
      glBindVertexArray(lineVao_);
      glDrawArrays(GL_LINES, 0, 2);
    }
  }
  glBindVertexArray(0);
  glUseProgram(0);
}

}  // namespace nubiview
