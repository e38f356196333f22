-- Loads the saved relay session in headless Ardour (ardour7-lua), plays the
-- recorded region through the restored plug-in and prints the track's meter
-- after its fader.
-- Environment: SESSION_DIR, SESSION_NAME.
local common = dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "common.lua")
local fail = common.fail
local dir, name = os.getenv("SESSION_DIR"), os.getenv("SESSION_NAME")

common.start_engine("Silence")
if not load_session(dir, name) then fail("could not load the session " .. dir .. "/" .. name) end

local track = Session:route_by_name("relay")
if track:isnil() then fail("the session has no track relay") end
local plugin = track:nth_plugin(0)
if plugin:isnil() then fail("the plug-in was not restored") end
print("plugin " .. plugin:display_name())

track:set_meter_point(ARDOUR.MeterPoint.MeterPostFader)
Session:request_locate(0, false, ARDOUR.LocateTransportDisposition.MustStop, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(300000)
Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(500000)
track:peak_meter():reset_max()
ARDOUR.LuaAPI.usleep(1000000)
print(string.format("meter post-fader %.3f %.3f", common.level(track, 0), common.level(track, 1)))
Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
close_session()
