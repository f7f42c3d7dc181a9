// Typesets the formulas of a page with KaTeX (Debian's copy, served from _static/katex/).
// Sphinx writes each formula as the TeX between \( \) (inline, in a span.math) or \[ \]
// (display, in a div.math); the page loads katex.min.js only when it has formulas.
// A formula KaTeX cannot parse throws, so that the site's browser check sees the error.
document.addEventListener("DOMContentLoaded", function () {
  if (typeof katex === "undefined") return;
  document.querySelectorAll("span.math, div.math").forEach(function (element) {
    var display = element.tagName === "DIV";
    var source = element.textContent.trim();
    var open = display ? "\\[" : "\\(", close = display ? "\\]" : "\\)";
    var start = source.indexOf(open), end = source.lastIndexOf(close);
    if (start < 0 || end < start) return;
    katex.render(source.slice(start + 2, end), element, {displayMode: display, throwOnError: true});
  });
});
