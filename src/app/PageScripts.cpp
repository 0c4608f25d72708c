#include "app/PageScripts.hpp"

namespace quillfern {

std::string viewportScript(int minimumWidth) {
  return "(function(){\n"
         "  var d=document.documentElement,b=document.body;\n"
         "  var w=Math.max("
         + std::to_string(minimumWidth)
         + ",d?d.scrollWidth:0,b?b.scrollWidth:0);\n"
           "  var m=document.querySelector('meta[name=\"viewport\"]');\n"
           "  if(!m){m=document.createElement('meta');m.name='viewport';"
           "(document.head||d).appendChild(m);}\n"
           "  m.setAttribute('content','width='+w+',minimum-scale=0.25,maximum-scale=5,"
           "user-scalable=yes');\n"
           "  return w;\n"
           "})()";
}

std::string_view fullscreenToggleScript() {
  return "(function(){\n"
         "  if(typeof toggleFullscreen==='function'){toggleFullscreen();return true;}\n"
         "  if(typeof isCustomFullscreen!=='undefined'&&isCustomFullscreen&&"
         "typeof exitCustomFullscreen==='function'){exitCustomFullscreen();return true;}\n"
         "  return false;\n"
         "})()";
}

}  // namespace quillfern
