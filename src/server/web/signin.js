// The sign-in form posts itself; this fills in where to go afterwards and
// shows the error the server sends us back with.
import { loadSession } from "/assets/common.js";

const params = new URLSearchParams(location.search);
const next = params.get("next") || "/";
// Only a path on this site: "//host" would leave it.
document.querySelector('input[name="next"]').value = next.startsWith("/") && !next.startsWith("//") ? next : "/";
document.getElementById("signin-error").hidden = params.get("error") !== "1";

loadSession().then((session) => {
  if (session.viewer_token_required) {
    document.querySelector(".signin .muted").textContent =
      "Viewing needs a sign-in here: use the viewer token to look, the admin token to send commands too.";
  }
  document.body.dataset.ready = "1";
  // Only now: a field is not focusable while the page is hidden (autofocus came too early).
  document.getElementById("token").focus();
});
