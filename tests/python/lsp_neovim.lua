-- Drives Neovim's own language client against the server: run by
-- test_lsp_neovim.py as `nvim --headless -u INIT -c 'luafile THIS'` in a
-- small project, with the README's configuration as INIT. It opens a model,
-- waits for diagnostics, asks for a definition and a rename through the
-- client's own functions, and writes what it got, as JSON, to $TRELM_NVIM_OUT.
-- Every wait is bounded and the editor quits whatever happens.

local out_path = os.getenv('TRELM_NVIM_OUT')
local result = { steps = {} }

local function write_result()
  local file = assert(io.open(out_path, 'w'))
  file:write(vim.fn.json_encode(result))
  file:close()
end

local function step(name, fn)
  local ok, err = pcall(fn)
  table.insert(result.steps, { name = name, ok = ok, error = ok and vim.NIL or tostring(err) })
  return ok
end

local diagnostics = {}
vim.lsp.handlers['textDocument/publishDiagnostics'] = function(err, params, ctx, config)
  diagnostics[params.uri] = params.diagnostics
  return vim.lsp.diagnostic.on_publish_diagnostics(err, params, ctx, config)
end

local function client()
  return vim.lsp.get_active_clients()[1]
end

-- Places the cursor on the first character of `word` on the first line that has it.
local function cursor_on(word)
  for row, line in ipairs(vim.api.nvim_buf_get_lines(0, 0, -1, false)) do
    local col = line:find(word, 1, true)
    if col then
      vim.api.nvim_win_set_cursor(0, { row, col - 1 })
      return
    end
  end
  error('no ' .. word .. ' in the buffer')
end

local ok = step('open', function()
  vim.cmd('edit ' .. vim.fn.fnameescape(os.getenv('TRELM_NVIM_FILE')))
  assert(vim.wait(10000, function() return client() ~= nil end, 20), 'no client attached')
  result.client = client().name
end)

-- Whether the file's last published diagnostics hold a project finding: the
-- first ones may come before the server has read the project.
local function has_missing_ref(uri)
  for _, d in ipairs(diagnostics[uri] or {}) do
    if d.code == 'missing-ref' then return true end
  end
  return false
end

ok = ok and step('diagnostics', function()
  local uri = vim.uri_from_bufnr(0)
  assert(vim.wait(20000, function() return has_missing_ref(uri) end, 20),
    'no missing-ref published: ' .. vim.inspect(diagnostics[uri]))
  result.diagnostics = diagnostics[uri]
  -- What the editor shows, through its own diagnostic store.
  result.shown = {}
  for _, d in ipairs(vim.diagnostic.get(0)) do
    table.insert(result.shown, { lnum = d.lnum, col = d.col, message = d.message })
  end
end)

ok = ok and step('definition', function()
  cursor_on(os.getenv('TRELM_NVIM_REF'))
  local params = vim.lsp.util.make_position_params()
  local answers = vim.lsp.buf_request_sync(0, 'textDocument/definition', params, 5000)
  assert(answers, 'no answer to a definition request')
  for _, answer in pairs(answers) do
    assert(not answer.err, vim.inspect(answer.err))
    result.definition = answer.result
  end
end)

ok = ok and step('rename', function()
  cursor_on(os.getenv('TRELM_NVIM_REF'))
  local before = vim.api.nvim_buf_get_changedtick(0)
  local buffer = vim.api.nvim_get_current_buf()
  vim.lsp.buf.rename(os.getenv('TRELM_NVIM_NEW_NAME'))
  assert(vim.wait(10000, function() return vim.api.nvim_buf_get_changedtick(buffer) ~= before end, 20),
    'the rename changed nothing')
  -- Let the rest of the edit (the file operation) land, then save what changed.
  vim.wait(300)
  vim.cmd('silent! wall')
  result.lines = vim.api.nvim_buf_get_lines(buffer, 0, -1, false)
end)

write_result()
pcall(function() vim.lsp.stop_client(vim.lsp.get_active_clients(), true) end)
vim.cmd('qa!')
